// SPDX-License-Identifier: GPL-2.0-or-later
// Runs the built executables with arguments, input and environment, and checks their output
// byte for byte, their exit status and the simulated device's port trace.
#include "program_runs.h"

namespace {

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

using EndToEnd = ProgramRuns;

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
  const Outcome wrongDevice =
      run({{SIMULATED_PROGRAM, "200"}, "", {"GMA950CLOCK_SIM_DEVICE=8086:2a02"}, true});
  EXPECT_EQ(wrongDevice.out, kBanner + kHacking +
                                 "gma950clock: the device at PCI 00:02.0 is 8086:2a02, not an "
                                 "Intel(R) GMA 950; nothing was changed\n" +
                                 kClosingNothing);
}

// The simulated kernel refuses the ports and is not locked down; the refusal names what the
// process lacks, and where it lacks nothing that the kernel shows, every cause that is left. The
// program is copied where nobody can run it; the trace directory is not writable for nobody.
TEST_F(EndToEnd, RefusalHintFollowsTheProcessPrivileges) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to take privileges away";
  const std::string program = copyForEveryone(SIMULATED_PROGRAM);
  const std::vector<std::string> inAUserNamespace = {"unshare", "--user", "--map-root-user", "--"};
  // A chrooted process may make no user namespace.
  const bool userNamespaces = run({prefixed(inAUserNamespace, {"true"}), ""}).exitStatus == 0;
  const std::string filtered =
      "Operation not permitted; a security module or a system-call filter refused it\n";
  struct Case {
    std::vector<std::string> prefix;
    std::vector<std::string> arguments;
    std::string input;
    std::string screen;  // what comes before the opening message
    std::string hint;
    bool errorsIntoOutput;
  };
  for (const Case& c :
       {Case{{}, {"250"}, "", kBanner, filtered, false}, Case{{}, {}, "2\n", kMenuScreen, filtered, true},
        Case{kWithoutPortRights, {"250"}, "", kBanner, kNoRawioHint, false},
        Case{kAsNobody, {"250"}, "", kBanner, kNotRootHint, false},
        Case{inAUserNamespace, {"250"}, "", kBanner,
             "Operation not permitted; the process has CAP_SYS_RAWIO only in a user namespace of "
             "its own (container?)\n",
             false}}) {
    if (c.prefix == inAUserNamespace && !userNamespaces) {
      std::cout << "no user namespace can be made here: that case is left out\n";
      continue;
    }
    const Outcome outcome = run({prefixed(c.prefix, prefixed({program}, c.arguments)),
                                 c.input,
                                 {"GMA950CLOCK_SIM_DENY=1", "GMA950CLOCK_SIM_TRACE=/dev/null"},
                                 c.errorsIntoOutput});

    const std::string refusal = kRefusalPrefix + c.hint;
    EXPECT_EQ(outcome.out, c.screen + kHacking + (c.errorsIntoOutput ? refusal : "") + kClosingNothing)
        << c.hint;
    EXPECT_EQ(outcome.err, c.errorsIntoOutput ? "" : refusal);
    EXPECT_EQ(outcome.exitStatus, 1) << c.hint;
  }
}

// The hardware build only ever runs here with no road to configuration space left: as the user
// nobody, or as root in a mount namespace without the kernel's configuration files and without any
// capability. So nothing it does can reach the device at 00:02.0 of the machine running the tests.
class HardwareBuild : public EndToEnd {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    if (geteuid() != 0) GTEST_SKIP() << "needs root to take every right away";
    // Refuse to go on unless both really leave nothing: no capability, and for root neither the
    // kernel's configuration files nor a way back to them.
    const char* const capabilities = "grep -E '^Cap(Prm|Eff|Bnd|Amb):' /proc/self/status";
    const std::string none = "CapPrm:\t0000000000000000\nCapEff:\t0000000000000000\n";
    Invocation sealed = asRootWithoutConfigSpace({}, "");
    sealed.command = prefixed(kRootWithoutCapabilities,
                              {"sh", "-c",
                               std::string(capabilities) + " && ls -A /sys && { [ ! -d /proc/bus/pci ] "
                               "|| ls -A /proc/bus/pci; }"});
    const Outcome root = run(sealed);
    ASSERT_EQ(root.exitStatus, 0) << root.err;
    ASSERT_EQ(root.out, none + "CapBnd:\t0000000000000000\nCapAmb:\t0000000000000000\n");
    const Outcome nobody = run({prefixed(kAsNobody, {"sh", "-c", std::string(capabilities) + " && id -u"}), ""});
    ASSERT_EQ(nobody.exitStatus, 0) << nobody.err;
    ASSERT_EQ(nobody.out.substr(0, none.size()), none);
    ASSERT_EQ(nobody.out.substr(nobody.out.rfind('\n', nobody.out.size() - 2) + 1), "65534\n");
  }

  Invocation asRootWithoutConfigSpace(const std::vector<std::string>& arguments,
                                      std::optional<std::string> input) {
    Invocation invocation{prefixed(kRootWithoutCapabilities, prefixed({HARDWARE_PROGRAM}, arguments)),
                          input};
    invocation.hideConfigFiles = true;
    return invocation;
  }

  // 00:02.0's configuration file made up in the child's own mount namespace, holding `bytes`.
  static Invocation onAMadeUpConfigFile(Invocation invocation, const std::string& bytes) {
    invocation.hideConfigFiles = true;
    invocation.madeUpConfigFile = bytes;
    return invocation;
  }
};

// The port road, taken where the kernel lists no PCI function: on a kernel without ioperm (the CI
// machines' kind) the refusal says so; elsewhere it names the missing capability.
TEST_F(HardwareBuild, PortRoadRefusesRootWithoutCapabilities) {
  const Outcome argumentMode = run(asRootWithoutConfigSpace({"400"}, ""));
  EXPECT_EQ(argumentMode.out, kBanner + kHacking + kClosingNothing);
  EXPECT_EQ(argumentMode.err, refusalWithoutRawio());
  EXPECT_EQ(argumentMode.exitStatus, 1);

  const Outcome menu = run(asRootWithoutConfigSpace({}, "3\n"));
  EXPECT_EQ(menu.out, kMenuScreen + kHacking + kClosingNothing);
  EXPECT_EQ(menu.err, refusalWithoutRawio());
  EXPECT_EQ(menu.exitStatus, 1);
}

// The file road, on a made-up configuration file: an ordinary user cannot open it for writing, and
// root that the kernel shows only the standard header is refused before anything is written.
TEST_F(HardwareBuild, FileRoadRefusesWhatTheKernelWouldRefuse) {
  const std::string program = copyForEveryone(HARDWARE_PROGRAM);
  std::string header(64, '\0');
  header.replace(0, 4, "\x86\x80\xa2\x27");  // 8086:27a2, a 945GM
  struct Case {
    Invocation invocation;
    std::string screen;  // what comes before the opening message
    std::string cause;
  };
  for (const Case& c :
       {Case{{prefixed(kAsNobody, {program, "250"}), ""}, kBanner, "Permission denied; run it as root\n"},
        Case{{prefixed(kAsNobody, {program}), "2\n"}, kMenuScreen, "Permission denied; run it as root\n"},
        Case{asRootWithoutConfigSpace({"400"}, ""), kBanner, kNoSysAdminHint}}) {
    const Outcome outcome = run(onAMadeUpConfigFile(c.invocation, header));

    EXPECT_EQ(outcome.out, c.screen + kHacking + kClosingNothing) << c.cause;
    EXPECT_EQ(outcome.err, kConfigFileRefusalPrefix + c.cause);
    EXPECT_EQ(outcome.exitStatus, 1) << c.cause;
  }
}

TEST_F(HardwareBuild, RoadsWithoutASelectionNeedNoPorts) {
  const Outcome wrongArgument = run(asRootWithoutConfigSpace({"4000"}, ""));
  EXPECT_EQ(wrongArgument.out, complaint("4000"));
  EXPECT_EQ(wrongArgument.err, "");
  EXPECT_EQ(wrongArgument.exitStatus, 0);

  const Outcome otherKey = run(asRootWithoutConfigSpace({}, "x\n"));
  EXPECT_EQ(otherKey.out, kMenuScreen + kClosingNothing);
  EXPECT_EQ(otherKey.err, "");
  EXPECT_EQ(otherKey.exitStatus, 0);
}

}  // namespace
