// SPDX-License-Identifier: GPL-2.0-or-later
// The backend through the kernel's configuration file, against a made-up sysfs of regular files:
// the offset and byte order of every access, what it refuses before the first write, and the
// cause it names for a write the kernel refuses.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "clock/clock_settings.h"
#include "clock/config_ports.h"

namespace {

using gma950clock::kGma950ClockRegisterAddress;

const std::string kFunction = "0000:00:02.0";

// Register 0xF0 holds 0x34640534 (200 MHz); every other byte holds its offset.
std::string gma950ConfigSpace() {
  std::string bytes(256, '\0');
  for (std::size_t offset = 0; offset < bytes.size(); ++offset) bytes[offset] = static_cast<char>(offset);
  bytes.replace(0, 4, "\x86\x80\xa2\x27");     // 8086:27a2, a 945GM
  bytes.replace(0xF0, 4, "\x34\x05\x64\x34");  // little-endian, as configuration space is
  return bytes;
}

class KernelConfigFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/gma950clock-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    paths_ = {root_ + "/devices", root_ + "/lockdown", "/proc/self/uid_map"};
    ASSERT_EQ(mkdir(paths_.devices.c_str(), 0755), 0);
  }

  void TearDown() override {
    if (!root_.empty()) {
      EXPECT_EQ(std::system(("rm -rf '" + root_ + "'").c_str()), 0);
    }
  }

  void addFunction(const std::string& bytes) {
    ASSERT_EQ(mkdir((paths_.devices + "/" + kFunction).c_str(), 0755), 0);
    std::ofstream(configPath(), std::ios::binary) << bytes;
  }

  void setLockdown(const std::string& state) { std::ofstream(paths_.lockdown) << state; }

  std::string configPath() const { return paths_.devices + "/" + kFunction + "/config"; }

  std::string config() const {
    std::ifstream file(configPath(), std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
  }

  std::string root_;
  gma950clock::KernelConfigPaths paths_;
};

TEST_F(KernelConfigFile, WritesTheSettingIntoRegisterF0AndNothingElse) {
  addFunction(gma950ConfigSpace());
  const auto file = gma950clock::openKernelConfigFile(kGma950ClockRegisterAddress, paths_);
  std::ostringstream out;
  std::ostringstream err;

  ASSERT_TRUE(gma950clock::applyClockSetting(gma950clock::getClockSettings()[1], *file, out, err))
      << err.str();

  std::string expected = gma950ConfigSpace();
  expected.replace(0xF0, 4, "\x31\x05\x64\x34");
  EXPECT_EQ(config(), expected);
  EXPECT_EQ(out.str(),
            "\nHacking hardware registers now...\n\n34d0e729\n34d0e72c\n\n"
            "Done - GMA 950 should now be running at a speed of 250 MHz\n");
}

struct RefusalCase {
  const char* name;
  std::size_t configLength;  // what the kernel shows of the file; 0: 00:02.0 not listed
  const char* lockdown;      // nullptr: no lockdown state to read
  const char* cause;         // after "<config file>: "; nullptr: granted
};

std::ostream& operator<<(std::ostream& stream, const RefusalCase& c) { return stream << c.name; }

class KernelConfigFileAccess : public KernelConfigFile,
                               public ::testing::WithParamInterface<RefusalCase> {};

// Each refusal comes before anything is written, with one line that names the file and the cause.
TEST_P(KernelConfigFileAccess, IsGrantedOrRefusedBeforeAnyWrite) {
  const std::string shown = gma950ConfigSpace().substr(0, GetParam().configLength);
  if (GetParam().configLength != 0) addFunction(shown);
  if (GetParam().lockdown != nullptr) setLockdown(GetParam().lockdown);
  const auto file = gma950clock::openKernelConfigFile(kGma950ClockRegisterAddress, paths_);
  std::ostringstream out;
  std::ostringstream err;

  const bool applied =
      gma950clock::applyClockSetting(gma950clock::getClockSettings()[0], *file, out, err);

  if (GetParam().cause == nullptr) {
    EXPECT_TRUE(applied);
    EXPECT_EQ(err.str(), "");
  } else {
    EXPECT_FALSE(applied);
    EXPECT_EQ(err.str(), "gma950clock: cannot access " + configPath() + ": " + GetParam().cause + "\n");
    EXPECT_EQ(out.str(), "\nHacking hardware registers now...\n\n");
    if (GetParam().configLength != 0) {
      EXPECT_EQ(config(), shown);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    States, KernelConfigFileAccess,
    ::testing::Values(
        RefusalCase{"NotLockedDown", 256, "[none] integrity confidentiality\n", nullptr},
        RefusalCase{"NoLockdownState", 256, nullptr, nullptr},
        RefusalCase{"IntegrityLockdown", 256, "none [integrity] confidentiality\n",
                    "Operation not permitted; the kernel is locked down (Secure Boot?)"},
        RefusalCase{"ConfidentialityLockdown", 256, "none integrity [confidentiality]\n",
                    "Operation not permitted; the kernel is locked down (Secure Boot?)"},
        // What root without CAP_SYS_ADMIN in the machine's initial user namespace is shown.
        RefusalCase{"OnlyTheStandardHeader", 64, nullptr,
                    "the kernel shows only its first 64 bytes, not register 0xF0; the process lacks "
                    "CAP_SYS_ADMIN in the machine's initial user namespace (container or service "
                    "sandbox?)"},
        RefusalCase{"RegisterCutShort", 0xF2, nullptr, "register 0xF0 reads 2 of 4 bytes"},
        RefusalCase{"NoSuchFunction", 0, nullptr,
                    "No such file or directory; the kernel lists no PCI device 00:02.0"}),
    [](const auto& info) { return std::string(info.param.name); });

// Makes every pwrite64 of this process fail with EPERM, as the unit's system-call filter does.
bool refusePwriteWithEperm() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pwrite64, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program = {sizeof filter / sizeof filter[0], filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// A write refused with EPERM is blamed on lockdown only when the kernel's state says so; the
// filter is set in the child of a death test.
TEST_F(KernelConfigFile, EpermOfAFilterIsNotBlamedOnLockdown) {
  addFunction(gma950ConfigSpace());
  for (const auto& [lockdown, cause] :
       {std::pair{"[none] integrity confidentiality\n", "a security module or a system-call filter"},
        std::pair{"", "kernel lockdown, a security module or a system-call filter"}}) {
    setLockdown(lockdown);  // empty: no state to read
    EXPECT_EXIT(
        {
          const auto file = gma950clock::openKernelConfigFile(kGma950ClockRegisterAddress, paths_);
          std::ostringstream out;
          _exit(refusePwriteWithEperm() &&
                        !gma950clock::applyClockSetting(gma950clock::getClockSettings()[2], *file, out, std::cerr)
                    ? 0
                    : 1);
        },
        ::testing::ExitedWithCode(0),
        "^gma950clock: cannot write the clock register: " + configPath() + ": Operation not permitted; " +
            cause + " refused it; nothing was changed\n$");
    EXPECT_EQ(config(), gma950ConfigSpace());
  }
}

// The file serves only its own function: another's register reads as an empty slot and is never
// written.
TEST_F(KernelConfigFile, ServesOnlyItsOwnFunction) {
  addFunction(gma950ConfigSpace());
  const auto file = gma950clock::openKernelConfigFile(kGma950ClockRegisterAddress, paths_);
  ASSERT_TRUE(file->requestPortAccess().granted);

  for (const std::uint32_t other : {gma950clock::makeConfigAddress(0, 3, 0, 0xF0),
                                    gma950clock::makeConfigAddress(0, 2, 1, 0xF0),
                                    gma950clock::makeConfigAddress(1, 2, 0, 0xF0)}) {
    file->selectConfigRegister(other);
    EXPECT_FALSE(file->readConfigData().read) << std::hex << other;
    EXPECT_FALSE(file->writeConfigData(0).granted) << std::hex << other;
  }
  EXPECT_EQ(config(), gma950ConfigSpace());
}

}  // namespace
