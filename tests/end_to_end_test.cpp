// Runs the built executables with arguments, input and environment, and checks their output
// byte for byte, their exit status and the simulated device's port trace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kRule =
    "**************************************************************************";
const std::string kBanner =
    "\n" + kRule + "\ngma950clock - Intel(R) GMA 950 graphics core clock switch for Linux\n" + kRule +
    "\n\nSets the graphics core clock to 400, 250 or 200 MHz.\n"
    "Run it as root; the clock returns to its default on resume from standby.\n";
const std::string kMenu =
    "\nHit '4' followed by 'Enter' to set Intel(R) GMA 950 core clock to 400 MHz\n"
    "Hit '3' followed by 'Enter' to set Intel(R) GMA 950 core clock to 250 MHz\n"
    "Hit '2' followed by 'Enter' to set Intel(R) GMA 950 core clock to 200 MHz\n"
    "\nHit any different digit or letter followed by 'Enter' to exit\n\n> ";
// What the stand-in `clear` prints, so a test sees whether and when it ran.
const std::string kCleared = "[clear]\n";
const std::string kHacking = "\nHacking hardware registers now...\n\n";
const std::string kClosingApplied =
    "\n" + kRule + "\nExiting. Note: on return from standby the setting will be reset to default \n" +
    kRule + "\n\n";
const std::string kClosingNothing =
    "\n" + kRule + "\nExiting. No setting has been applied \n" + kRule + "\n\n";

// Reports and completion for the default simulated register 0x34640534.
const std::string kApplied400 =
    kHacking + "34d0e729\n34d0e72e\n\nDone - GMA 950 should now be running at a speed of 400 MHz\n";
const std::string kApplied250 =
    kHacking + "34d0e729\n34d0e72c\n\nDone - GMA 950 should now be running at a speed of 250 MHz\n";
const std::string kApplied200 =
    kHacking + "34d0e729\n34d0e729\n\nDone - GMA 950 should now be running at a speed of 200 MHz\n";

std::string tracedSequence(const char* finalValue) {
  return std::string(
             "ioperm 0xcf8 8 1\n"
             "outl 0xcf8 0x80001000\ninl 0xcfc 0x27a28086\n"
             "outl 0xcf8 0x800010f0\ninl 0xcfc 0x34640534\n"
             "outl 0xcf8 0x800010f0\noutl 0xcfc 0x34646000\n"
             "outl 0xcf8 0x800010f0\noutl 0xcfc ") +
         finalValue + "\noutl 0xcf8 0x800010f0\ninl 0xcfc " + finalValue + "\n";
}

std::string refusalLine(const char* reason = "Operation not permitted") {
  return std::string("gma950clock: cannot access I/O ports 0xCF8-0xCFF: ") + reason + "; " +
         (geteuid() == 0 ? "the kernel refuses port access (kernel lockdown?)\n" : "run it as root\n");
}

// Without CAP_SYS_RAWIO ioperm fails with EPERM; a kernel built without ioperm fails with ENOSYS.
bool isHardwareRefusal(const std::string& err) {
  return err == refusalLine() || err == refusalLine("Function not implemented");
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
  std::ofstream(path, std::ios::binary) << content;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

struct Outcome {
  std::string out;
  std::string err;
  std::string trace;
  int exitStatus = -1;  // -1 when the process did not exit by itself (killed by a signal)
};

struct Invocation {
  std::vector<std::string> command;          // program first
  std::optional<std::string> input;          // nullopt: standard input closed
  std::vector<std::string> environment = {};  // NAME=value, on top of PATH and the sanitizers'
  bool errorsIntoOutput = false;              // both streams into one file, as in the journal
};

// Each test gets a directory with the stand-in `clear`, the captured streams and the trace.
class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/gma950clock-e2e-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    writeFile(dir_ + "/clear", "#!/bin/sh\nprintf '[clear]\\n'\n", 0755);
  }

  void TearDown() override {
    const std::string remove = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(remove.c_str()), 0);
  }

  std::string tracePath() const { return dir_ + "/trace"; }

  Outcome run(const Invocation& invocation) {
    std::map<std::string, std::string> variables = {
        {"PATH", dir_ + ":/usr/sbin:/usr/bin:/sbin:/bin"}, {"GMA950CLOCK_SIM_TRACE", tracePath()}};
    for (const char* passed : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
      if (const char* value = std::getenv(passed)) variables[passed] = value;
    }
    for (const std::string& entry : invocation.environment) {
      variables[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
    }
    std::vector<std::string> environment;
    for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
    if (invocation.input) writeFile(dir_ + "/stdin", *invocation.input, 0644);

    std::vector<char*> argv;
    for (const std::string& word : invocation.command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const std::string outPath = dir_ + "/stdout";
    const std::string errPath = dir_ + "/stderr";
    const std::string inPath = dir_ + "/stdin";

    const pid_t child = fork();
    if (child == 0) {
      close(STDIN_FILENO);
      if (invocation.input) {
        if (open(inPath.c_str(), O_RDONLY) != STDIN_FILENO) _exit(126);
      }
      const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 ||
          dup2(invocation.errorsIntoOutput ? out : err, STDERR_FILENO) < 0) {
        _exit(126);
      }
      execvpe(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    Outcome outcome;
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    if (WIFEXITED(status)) outcome.exitStatus = WEXITSTATUS(status);
    outcome.out = readFile(outPath);
    outcome.err = readFile(errPath);
    outcome.trace = readFile(tracePath());
    std::remove(tracePath().c_str());
    return outcome;
  }

  std::string dir_;
};

struct RoadCase {
  const char* name;
  Invocation invocation;  // the simulated program is put in front of the command
  std::string out;
  std::string trace;
  int exitStatus;
  std::string err = "";
};

std::ostream& operator<<(std::ostream& stream, const RoadCase& road) { return stream << road.name; }

class SimulatedRoads : public EndToEnd, public ::testing::WithParamInterface<RoadCase> {};

TEST_P(SimulatedRoads, OutputExitStatusAndTrace) {
  Invocation invocation = GetParam().invocation;
  invocation.command.insert(invocation.command.begin(), SIMULATED_PROGRAM);

  const Outcome outcome = run(invocation);

  EXPECT_EQ(outcome.out, GetParam().out);
  EXPECT_EQ(outcome.err, GetParam().err);
  EXPECT_EQ(outcome.exitStatus, GetParam().exitStatus);
  EXPECT_EQ(outcome.trace, GetParam().trace);
}

std::string complaint(const std::string& argument) {
  return kBanner + "\n" + argument +
         " is a wrong command line argument!\nCorrect values are: 400, 250, 200\n" +
         kClosingNothing;
}

const std::string kMenuScreen = kCleared + kBanner + kMenu;

INSTANTIATE_TEST_SUITE_P(
    ArgumentMode, SimulatedRoads,
    ::testing::Values(
        RoadCase{"400", {{"400"}, ""}, kBanner + kApplied400 + kClosingApplied,
                 tracedSequence("0x34640533"), 0},
        RoadCase{"250", {{"250"}, ""}, kBanner + kApplied250 + kClosingApplied,
                 tracedSequence("0x34640531"), 0},
        RoadCase{"200", {{"200"}, ""}, kBanner + kApplied200 + kClosingApplied,
                 tracedSequence("0x34640534"), 0},
        RoadCase{"4000", {{"4000"}, ""}, complaint("4000"), "", 0},
        RoadCase{"40", {{"40"}, ""}, complaint("40"), "", 0},
        RoadCase{"0400", {{"0400"}, ""}, complaint("0400"), "", 0},
        RoadCase{"BlankBefore", {{" 400"}, ""}, complaint(" 400"), "", 0},
        RoadCase{"BlankAfter", {{"400 "}, ""}, complaint("400 "), "", 0},
        RoadCase{"Empty", {{""}, ""}, complaint(""), "", 0},
        RoadCase{"StandardInputIgnored", {{"200"}, "4\n"}, kBanner + kApplied200 + kClosingApplied,
                 tracedSequence("0x34640534"), 0}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    InteractiveMode, SimulatedRoads,
    ::testing::Values(
        RoadCase{"Key4", {{}, "4\n"}, kMenuScreen + kApplied400 + kClosingApplied,
                 tracedSequence("0x34640533"), 0},
        RoadCase{"Key3", {{}, "3\n"}, kMenuScreen + kApplied250 + kClosingApplied,
                 tracedSequence("0x34640531"), 0},
        RoadCase{"Key2", {{}, "2\n"}, kMenuScreen + kApplied200 + kClosingApplied,
                 tracedSequence("0x34640534"), 0},
        RoadCase{"Typed400", {{}, "400\n"}, kMenuScreen + kApplied400 + kClosingApplied,
                 tracedSequence("0x34640533"), 0},
        RoadCase{"Typed42", {{}, "42\n"}, kMenuScreen + kApplied400 + kClosingApplied,
                 tracedSequence("0x34640533"), 0},
        RoadCase{"Typed250IsKey2", {{}, "250\n"}, kMenuScreen + kApplied200 + kClosingApplied,
                 tracedSequence("0x34640534"), 0},
        RoadCase{"BlankLinesSkipped", {{}, "\n\n \t\r\v\f\n3\n"},
                 kMenuScreen + kApplied250 + kClosingApplied, tracedSequence("0x34640531"), 0},
        RoadCase{"Key1", {{}, "1\n"}, kMenuScreen + kClosingNothing, "", 0},
        RoadCase{"Key5", {{}, "5\n"}, kMenuScreen + kClosingNothing, "", 0},
        RoadCase{"Key0", {{}, "0\n"}, kMenuScreen + kClosingNothing, "", 0},
        RoadCase{"Letter", {{}, "q4\n"}, kMenuScreen + kClosingNothing, "", 0},
        RoadCase{"Punctuation", {{}, ".\n"}, kMenuScreen + kClosingNothing, "", 0},
        RoadCase{"NoAnswerBeforeEnd", {{}, "\n  \n"}, kMenuScreen + kClosingNothing, "", 0},
        RoadCase{"EmptyInput", {{}, ""}, kMenuScreen + kClosingNothing, "", 0},
        RoadCase{"ClosedInput", {{}, std::nullopt}, kMenuScreen + kClosingNothing, "", 0},
        RoadCase{"TwoArgumentsStartTheMenu", {{"400", "250"}, "3\n"},
                 kMenuScreen + kApplied250 + kClosingApplied, tracedSequence("0x34640531"), 0},
        RoadCase{"TwoArgumentsThenNoKey", {{"400", "400"}, "x\n"}, kMenuScreen + kClosingNothing,
                 "", 0}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    SimulatedDevice, SimulatedRoads,
    ::testing::Values(
        RoadCase{"AccessRefused",
                 {{"400"}, "", {"GMA950CLOCK_SIM_DENY=1"}},
                 kBanner + kHacking + kClosingNothing,
                 "ioperm 0xcf8 8 1\n",
                 1,
                 refusalLine()},
        RoadCase{"AccessRefusedInTheMenu",
                 {{}, "2\n", {"GMA950CLOCK_SIM_DENY=1"}},
                 kMenuScreen + kHacking + kClosingNothing,
                 "ioperm 0xcf8 8 1\n",
                 1,
                 refusalLine()},
        RoadCase{"NotAGma950",
                 {{"400"}, "", {"GMA950CLOCK_SIM_DEVICE=1af4:1042"}},
                 kBanner + kHacking + kClosingNothing,
                 "ioperm 0xcf8 8 1\noutl 0xcf8 0x80001000\ninl 0xcfc 0x10421af4\n",
                 1,
                 "gma950clock: the device at PCI 00:02.0 is 1af4:1042, not an Intel(R) GMA 950; "
                 "nothing was changed\n"},
        RoadCase{"Gma950On945G",
                 {{"250"}, "", {"GMA950CLOCK_SIM_DEVICE=8086:2772", "GMA950CLOCK_SIM_DENY=0"}},
                 kBanner + kApplied250 + kClosingApplied,
                 "ioperm 0xcf8 8 1\noutl 0xcf8 0x80001000\ninl 0xcfc 0x27728086\n"
                 "outl 0xcf8 0x800010f0\ninl 0xcfc 0x34640534\n"
                 "outl 0xcf8 0x800010f0\noutl 0xcfc 0x34646000\n"
                 "outl 0xcf8 0x800010f0\noutl 0xcfc 0x34640531\n"
                 "outl 0xcf8 0x800010f0\ninl 0xcfc 0x34640531\n",
                 0},
        RoadCase{"RegisterReadingZero",
                 {{"400"}, "", {"GMA950CLOCK_SIM_DEVICE=8086:27AE", "GMA950CLOCK_SIM_F0=0x0"}},
                 kBanner + kHacking +
                     "b4e21d\n34d0e72e\n\nDone - GMA 950 should now be running at a speed of 400 "
                     "MHz\n" +
                     kClosingApplied,
                 "ioperm 0xcf8 8 1\noutl 0xcf8 0x80001000\ninl 0xcfc 0x27ae8086\n"
                 "outl 0xcf8 0x800010f0\ninl 0xcfc 0x00000000\n"
                 "outl 0xcf8 0x800010f0\noutl 0xcfc 0x34646000\n"
                 "outl 0xcf8 0x800010f0\noutl 0xcfc 0x34640533\n"
                 "outl 0xcf8 0x800010f0\ninl 0xcfc 0x34640533\n",
                 0}),
    [](const auto& info) { return std::string(info.param.name); });

// A malformed simulation variable stops the program before it writes anything or touches a port.
TEST_F(EndToEnd, MalformedSimulationEnvironmentStopsWithStatus2) {
  for (const char* variable :
       {"GMA950CLOCK_SIM_DEVICE=8086-27a2", "GMA950CLOCK_SIM_DEVICE=8086:27a", "GMA950CLOCK_SIM_DEVICE=",
        "GMA950CLOCK_SIM_DEVICE=8086:27a2x", "GMA950CLOCK_SIM_DEVICE=+086:27a2",
        "GMA950CLOCK_SIM_F0=", "GMA950CLOCK_SIM_F0=0x", "GMA950CLOCK_SIM_F0=123456789",
        "GMA950CLOCK_SIM_F0=12g4", "GMA950CLOCK_SIM_F0= 12", "GMA950CLOCK_SIM_F0=-1",
        "GMA950CLOCK_SIM_DENY=yes", "GMA950CLOCK_SIM_DENY=", "GMA950CLOCK_SIM_DENY=10",
        "GMA950CLOCK_SIM_TRACE=", "GMA950CLOCK_SIM_TRACE=/nonexistent/dir/trace"}) {
    const Outcome outcome = run({{SIMULATED_PROGRAM, "400"}, "", {variable}});
    const std::string name = std::string(variable).substr(0, std::string(variable).find('='));

    EXPECT_EQ(outcome.exitStatus, 2) << variable;
    EXPECT_EQ(outcome.out, "") << variable;
    EXPECT_EQ(outcome.trace, "") << variable;
    EXPECT_EQ(outcome.err.rfind("gma950clock-sim: " + name, 0), 0u) << variable << ": " << outcome.err;
    EXPECT_EQ(outcome.err.find('\n'), outcome.err.size() - 1) << variable << ": " << outcome.err;
  }
}

// Where stdout and stderr share one file (a terminal, the journal), the refusal stands between
// the opening message and the closing text, not ahead of buffered output.
TEST_F(EndToEnd, RefusalAppearsWhereItHappensWhenStreamsShareAFile) {
  const Outcome refused =
      run({{SIMULATED_PROGRAM, "200"}, "", {"GMA950CLOCK_SIM_DENY=1"}, true});
  EXPECT_EQ(refused.out, kBanner + kHacking + refusalLine() + kClosingNothing);

  const Outcome wrongDevice =
      run({{SIMULATED_PROGRAM, "200"}, "", {"GMA950CLOCK_SIM_DEVICE=8086:2a02"}, true});
  EXPECT_EQ(wrongDevice.out, kBanner + kHacking +
                                 "gma950clock: the device at PCI 00:02.0 is 8086:2a02, not an "
                                 "Intel(R) GMA 950; nothing was changed\n" +
                                 kClosingNothing);
}

// Without root, the refusal tells the user to become root. The program is copied where an
// unprivileged user can run it; the trace directory is not writable for that user, so no trace.
TEST_F(EndToEnd, RefusalAdvisesRootToOrdinaryUsers) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
  const std::string program = dir_ + "/gma950clock-sim";
  ASSERT_EQ(std::system(("cp '" SIMULATED_PROGRAM "' '" + program + "'").c_str()), 0);

  const Outcome outcome =
      run({{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", program, "250"},
           "",
           {"GMA950CLOCK_SIM_DENY=1", "GMA950CLOCK_SIM_TRACE=/dev/null"}});

  EXPECT_EQ(outcome.out, kBanner + kHacking + kClosingNothing);
  EXPECT_EQ(outcome.err,
            "gma950clock: cannot access I/O ports 0xCF8-0xCFF: Operation not permitted; run it as "
            "root\n");
  EXPECT_EQ(outcome.exitStatus, 1);
}

// The hardware build only ever runs here with the right to use I/O ports taken away, so that no
// road can reach the device at 00:02.0 of the machine running the tests.
class HardwareBuild : public EndToEnd {
 protected:
  Invocation withoutPortRights(std::vector<std::string> arguments, std::optional<std::string> input) {
    std::vector<std::string> command = {"setpriv", "--inh-caps=-sys_rawio",
                                        "--bounding-set=-sys_rawio", "--", HARDWARE_PROGRAM};
    command.insert(command.end(), arguments.begin(), arguments.end());
    return {command, input};
  }

  void SetUp() override {
    EndToEnd::SetUp();
    // CAP_SYS_RAWIO is capability 17; refuse to go on unless setpriv really drops it.
    const Outcome caps =
        run({{"setpriv", "--inh-caps=-sys_rawio", "--bounding-set=-sys_rawio", "--", "grep",
              "^CapEff:", "/proc/self/status"},
             ""});
    ASSERT_EQ(caps.exitStatus, 0) << caps.err;
    const unsigned long long effective = std::stoull(caps.out.substr(caps.out.find(':') + 1), nullptr, 16);
    ASSERT_EQ(effective & (1ULL << 17), 0u) << "setpriv left CAP_SYS_RAWIO: " << caps.out;
  }
};

TEST_F(HardwareBuild, RefusesCleanlyWithoutPortRights) {
  const Outcome argumentMode = run(withoutPortRights({"400"}, ""));
  EXPECT_EQ(argumentMode.out, kBanner + kHacking + kClosingNothing);
  EXPECT_TRUE(isHardwareRefusal(argumentMode.err)) << argumentMode.err;
  EXPECT_EQ(argumentMode.exitStatus, 1);

  const Outcome menu = run(withoutPortRights({}, "3\n"));
  EXPECT_EQ(menu.out, kMenuScreen + kHacking + kClosingNothing);
  EXPECT_TRUE(isHardwareRefusal(menu.err)) << menu.err;
  EXPECT_EQ(menu.exitStatus, 1);
}

TEST_F(HardwareBuild, RoadsWithoutASelectionNeedNoPorts) {
  const Outcome wrongArgument = run(withoutPortRights({"4000"}, ""));
  EXPECT_EQ(wrongArgument.out, complaint("4000"));
  EXPECT_EQ(wrongArgument.err, "");
  EXPECT_EQ(wrongArgument.exitStatus, 0);

  const Outcome otherKey = run(withoutPortRights({}, "x\n"));
  EXPECT_EQ(otherKey.out, kMenuScreen + kClosingNothing);
  EXPECT_EQ(otherKey.err, "");
  EXPECT_EQ(otherKey.exitStatus, 0);
}

}  // namespace
