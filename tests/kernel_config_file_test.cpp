// SPDX-License-Identifier: GPL-2.0-or-later
// The backend through the kernel's configuration file, against a made-up sysfs of regular files:
// the offset and byte order of every access, and what it refuses before the first write.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

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
    if (!gma950clock::getProcessPrivileges().sysAdminEffective) {
      GTEST_SKIP() << "without CAP_SYS_ADMIN the backend refuses any configuration file";
    }
    char pattern[] = "/tmp/gma950clock-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    paths_ = {root_ + "/devices", root_ + "/lockdown"};
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
  bool functionListed;
  const char* lockdown;  // nullptr: no lockdown state to read
  const char* cause;     // after "<config file>: "; nullptr: granted
};

std::ostream& operator<<(std::ostream& stream, const RefusalCase& c) { return stream << c.name; }

class KernelConfigFileAccess : public KernelConfigFile,
                               public ::testing::WithParamInterface<RefusalCase> {};

// Each refusal comes before anything is written, with one line that names the file and the cause.
TEST_P(KernelConfigFileAccess, IsGrantedOrRefusedBeforeAnyWrite) {
  if (GetParam().functionListed) addFunction(gma950ConfigSpace());
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
    if (GetParam().functionListed) {
      EXPECT_EQ(config(), gma950ConfigSpace());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    States, KernelConfigFileAccess,
    ::testing::Values(
        RefusalCase{"NotLockedDown", true, "[none] integrity confidentiality\n", nullptr},
        RefusalCase{"NoLockdownState", true, nullptr, nullptr},
        RefusalCase{"IntegrityLockdown", true, "none [integrity] confidentiality\n",
                    "Operation not permitted; the kernel is locked down (Secure Boot?)"},
        RefusalCase{"ConfidentialityLockdown", true, "none integrity [confidentiality]\n",
                    "Operation not permitted; the kernel is locked down (Secure Boot?)"},
        RefusalCase{"NoSuchFunction", false, nullptr,
                    "No such file or directory; the kernel lists no PCI device 00:02.0"}),
    [](const auto& info) { return std::string(info.param.name); });

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
    EXPECT_EQ(file->readConfigData(), 0xFFFFFFFFu) << std::hex << other;
    EXPECT_FALSE(file->writeConfigData(0).granted) << std::hex << other;
  }
  EXPECT_EQ(config(), gma950ConfigSpace());
}

}  // namespace
