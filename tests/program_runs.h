// SPDX-License-Identifier: GPL-2.0-or-later
// Runs a built executable with arguments, input and environment and captures what it printed;
// the program's fixed texts, shared by the end-to-end tests and the hardware lab.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

inline const std::string kRule =
    "**************************************************************************";
inline const std::string kBanner =
    "\n" + kRule + "\ngma950clock - Intel(R) GMA 950 graphics core clock switch for Linux\n" + kRule +
    "\n\nSets the graphics core clock to 400, 250 or 200 MHz.\n"
    "Run it as root; the clock returns to its default on resume from standby.\n";
inline const std::string kMenu =
    "\nHit '4' followed by 'Enter' to set Intel(R) GMA 950 core clock to 400 MHz\n"
    "Hit '3' followed by 'Enter' to set Intel(R) GMA 950 core clock to 250 MHz\n"
    "Hit '2' followed by 'Enter' to set Intel(R) GMA 950 core clock to 200 MHz\n"
    "\nHit any different digit or letter followed by 'Enter' to exit\n\n> ";
// What the stand-in `clear` prints, so a test sees whether and when it ran.
inline const std::string kCleared = "[clear]\n";
inline const std::string kMenuScreen = kCleared + kBanner + kMenu;
inline const std::string kHacking = "\nHacking hardware registers now...\n\n";
inline const std::string kClosingApplied =
    "\n" + kRule + "\nExiting. Note: on return from standby the setting will be reset to default \n" +
    kRule + "\n\n";
inline const std::string kClosingNothing =
    "\n" + kRule + "\nExiting. No setting has been applied \n" + kRule + "\n\n";

inline const std::string kRefusalPrefix = "gma950clock: cannot access I/O ports 0xCF8-0xCFF: ";
// The kernel's configuration file of 00:02.0, the road wherever the kernel lists PCI functions.
inline const std::string kConfigFile = "/sys/bus/pci/devices/0000:00:02.0/config";
inline const std::string kConfigFileRefusalPrefix = "gma950clock: cannot access " + kConfigFile + ": ";
inline const std::string kNoSysAdminHint =
    "the kernel shows only its first 64 bytes, not register 0xF0; the process lacks CAP_SYS_ADMIN "
    "in the machine's initial user namespace (container or service sandbox?)\n";
inline const std::string kNotRootHint = "Operation not permitted; run it as root\n";
inline const std::string kNoRawioHint =
    "Operation not permitted; the process lacks CAP_SYS_RAWIO (container or service sandbox?)\n";
inline const std::string kLockdownHint =
    "Operation not permitted; the kernel is locked down (Secure Boot?)\n";
inline const std::string kNoIopermHint =
    "Function not implemented; this kernel was built without ioperm (CONFIG_X86_IOPL_IOPERM)\n";

// Asks the kernel to switch port access *off*, which never grants anything: ENOSYS means the
// kernel has no ioperm at all.
inline bool kernelHasIoperm() {
#ifdef SYS_ioperm
  return syscall(SYS_ioperm, 0xCF8UL, 8UL, 0) == 0 || errno != ENOSYS;
#else
  return false;
#endif
}

// The refusal of a root process whose CAP_SYS_RAWIO was taken away, on this kernel.
inline std::string refusalWithoutRawio() {
  return kRefusalPrefix + (kernelHasIoperm() ? kNoRawioHint : kNoIopermHint);
}

// setpriv in front of a command: root without the right to use I/O ports. It keeps the owner's
// write access to the kernel's configuration files: for the simulation, and inside the lab guest.
inline const std::vector<std::string> kWithoutPortRights = {
    "setpriv", "--inh-caps=-sys_rawio", "--bounding-set=-sys_rawio", "--"};
// Root that sees only the first 64 bytes of a configuration file (the lab guest only).
inline const std::vector<std::string> kWithoutSysAdmin = {
    "setpriv", "--inh-caps=-sys_admin", "--bounding-set=-sys_admin", "--"};
// setpriv in front of a command: the unprivileged user nobody, who can write no configuration
// file (they are root's, mode 0644) and use no port.
inline const std::vector<std::string> kAsNobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                                   "--clear-groups", "--"};
// setpriv in front of a command: root without a single capability, who can neither use the
// ports, /dev/port or /dev/mem nor mount anything. It keeps the owner's write access to the
// kernel's configuration files: on a machine that is not the lab's, run it only with those hidden
// (Invocation::hideConfigFiles).
inline const std::vector<std::string> kRootWithoutCapabilities = {
    "setpriv", "--inh-caps=-all", "--ambient-caps=-all", "--bounding-set=-all", "--no-new-privs", "--"};

inline std::vector<std::string> prefixed(std::vector<std::string> prefix,
                                         const std::vector<std::string>& command) {
  prefix.insert(prefix.end(), command.begin(), command.end());
  return prefix;
}

inline std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

inline void writeFile(const std::string& path, const std::string& content, mode_t mode) {
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
  bool hideConfigFiles = false;               // a mount namespace without /sys and /proc/bus/pci
  // With hideConfigFiles: a made-up sysfs, root's, in which 00:02.0's config file holds this.
  std::optional<std::string> madeUpConfigFile = std::nullopt;
};

// In a mount namespace of the calling process's own, takes the kernel's configuration files out of
// sight: /sys unmounted, /proc/bus/pci covered by an empty read-only folder. Each mount is made
// private first, so that nothing done here reaches the machine's own mounts. A file system that is
// not mounted here (as in a chroot) has nothing to hide. Returns false if anything stayed visible.
inline bool hideConfigFilesHere() {
  if (unshare(CLONE_NEWNS) != 0) return false;
  if (mount(nullptr, "/sys", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
      umount2("/sys", MNT_DETACH) != 0) {
    return false;
  }
  struct stat pci {};
  if (stat("/proc/bus/pci", &pci) != 0) return true;
  return mount(nullptr, "/proc", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount("none", "/proc/bus/pci", "tmpfs", MS_RDONLY, "mode=0555") == 0;
}

// Over the hidden /sys, a tmpfs in which only 00:02.0's configuration file is listed, a regular
// file of root's, mode 0644, holding `bytes`.
inline bool makeUpConfigFileHere(const std::string& bytes) {
  const std::string function = "/sys/bus/pci/devices/0000:00:02.0";
  if (mount("none", "/sys", "tmpfs", 0, "mode=0755") != 0 ||
      std::system(("mkdir -p " + function).c_str()) != 0) {
    return false;
  }
  std::ofstream(function + "/config", std::ios::binary) << bytes;
  return chmod((function + "/config").c_str(), 0644) == 0;
}

// Each test gets a directory (readable by everyone, so nobody can run what is copied there) with
// the stand-in `clear`, the captured streams and the simulation's trace.
class ProgramRuns : public ::testing::Test {
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
      if (invocation.hideConfigFiles && !hideConfigFilesHere()) _exit(125);
      if (invocation.madeUpConfigFile && !makeUpConfigFileHere(*invocation.madeUpConfigFile)) _exit(125);
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

  // A copy of `program` in the test's directory, where the user nobody can run it.
  std::string copyForEveryone(const std::string& program) {
    const std::string copy = dir_ + "/" + program.substr(program.rfind('/') + 1);
    EXPECT_EQ(std::system(("cp '" + program + "' '" + copy + "'").c_str()), 0);
    return copy;
  }

  std::string dir_;
};
