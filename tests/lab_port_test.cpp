// SPDX-License-Identifier: GPL-2.0-or-later
// Hardware lab checks, run as root inside the QEMU guest: the real program and the real x86 port
// backend against QEMU's emulated chipset, judged by the kernel's own view of PCI 00:02.0.
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>

#include "clock/clock_settings.h"
#include "clock/config_ports.h"
#include "program_runs.h"

namespace gma950clock {
void PrintTo(const ClockSetting& setting, std::ostream* out) { *out << setting.megahertz << " MHz"; }
}  // namespace gma950clock

namespace {

using gma950clock::ClockSetting;
using gma950clock::ConfigPortAccess;

const std::string kDevice = "/sys/bus/pci/devices/0000:00:02.0";
// QEMU's standard VGA, which the lab puts at 00:02.0.
const std::string kEmulatedRefusal =
    "gma950clock: the device at PCI 00:02.0 is 1234:1111, not an Intel(R) GMA 950; nothing was "
    "changed\n";
// Both printed reports are the register exclusive-or this mask.
constexpr std::uint32_t kReportMask = 0x00B4E21Du;
constexpr std::uint32_t kForgedIdentity = 0x27A28086u;  // 8086:27a2, a 945GM
constexpr std::uint32_t kStartValue = 0x0BADC0DEu;

// Register 0xF0 as the kernel reads and writes it (its own configuration access, not ours).
std::uint32_t readKernelRegister(unsigned offset) {
  std::ifstream config(kDevice + "/config", std::ios::binary);
  unsigned char bytes[4] = {};
  config.seekg(offset);
  config.read(reinterpret_cast<char*>(bytes), sizeof bytes);
  EXPECT_TRUE(config) << "cannot read " << kDevice << "/config at " << offset;
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::string hex(std::uint32_t value) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

void writeKernelRegisterF0(std::uint32_t value) {
  std::fstream config(kDevice + "/config", std::ios::in | std::ios::out | std::ios::binary);
  const char bytes[4] = {static_cast<char>(value), static_cast<char>(value >> 8),
                         static_cast<char>(value >> 16), static_cast<char>(value >> 24)};
  config.seekp(0xF0);
  config.write(bytes, sizeof bytes);
  config.flush();
  ASSERT_TRUE(config) << "cannot write " << kDevice << "/config";
  ASSERT_EQ(hex(readKernelRegister(0xF0)), hex(value)) << "the emulated register does not keep a write";
}

// Passes every operation to the real ports, but answers a GMA 950's identity, so the whole
// sequence runs on the emulated device's register 0xF0.
class ForgedGma950Identity final : public ConfigPortAccess {
 public:
  explicit ForgedGma950Identity(ConfigPortAccess& ports) : ports_(ports) {}

  std::uint32_t realIdentity = 0;

  gma950clock::PortAccessResult requestPortAccess() override { return ports_.requestPortAccess(); }
  void selectConfigRegister(std::uint32_t address) override {
    selected_ = address;
    ports_.selectConfigRegister(address);
  }
  std::uint32_t readConfigData() override {
    const std::uint32_t value = ports_.readConfigData();
    if (selected_ != gma950clock::kGma950IdentityAddress) return value;
    realIdentity = value;
    return kForgedIdentity;
  }
  void writeConfigData(std::uint32_t value) override { ports_.writeConfigData(value); }

 private:
  ConfigPortAccess& ports_;
  std::uint32_t selected_ = 0;
};

class WritePath : public ::testing::TestWithParam<ClockSetting> {};

TEST_P(WritePath, RegisterHoldsTheSettingAndReportsUnmaskToTheKernelsValues) {
  writeKernelRegisterF0(kStartValue);
  const std::unique_ptr<ConfigPortAccess> ports = gma950clock::openPlatformConfigPorts(std::cerr);
  ASSERT_NE(ports, nullptr);
  ForgedGma950Identity forged(*ports);
  std::ostringstream out;
  std::ostringstream err;

  ASSERT_TRUE(gma950clock::applyClockSetting(GetParam(), forged, out, err)) << err.str();

  const std::uint32_t after = readKernelRegister(0xF0);
  EXPECT_EQ(hex(after), hex(GetParam().registerValue));
  EXPECT_EQ(hex(forged.realIdentity), hex(readKernelRegister(0x00))) << "identity read through the ports";
  std::istringstream reports(out.str().substr(kHacking.size()));
  std::uint32_t printedBefore = 0;
  std::uint32_t printedAfter = 0;
  ASSERT_TRUE(reports >> std::hex >> printedBefore >> printedAfter) << out.str();
  EXPECT_EQ(hex(printedBefore ^ kReportMask), hex(kStartValue));
  EXPECT_EQ(hex(printedAfter ^ kReportMask), hex(after));
}

INSTANTIATE_TEST_SUITE_P(EachSetting, WritePath,
                         ::testing::ValuesIn(gma950clock::getClockSettings()),
                         [](const auto& info) { return std::string(info.param.argument); });

using RealProgram = ProgramRuns;

// The program users install reaches the real ports, identifies QEMU's VGA and writes nothing.
TEST_F(RealProgram, RefusesTheEmulatedDeviceAndLeavesTheRegister) {
  struct Road {
    std::vector<std::string> arguments;
    std::string input;
    std::string out;
  };
  for (const Road& road : {Road{{"400"}, "", kBanner + kHacking + kClosingNothing},
                           Road{{}, "3\n", kMenuScreen + kHacking + kClosingNothing}}) {
    writeKernelRegisterF0(kStartValue);
    const Outcome outcome = run({prefixed({HARDWARE_PROGRAM}, road.arguments), road.input});

    EXPECT_EQ(outcome.out, road.out);
    EXPECT_EQ(outcome.err, kEmulatedRefusal);
    EXPECT_EQ(outcome.exitStatus, 1);
    EXPECT_EQ(hex(readKernelRegister(0xF0)), hex(kStartValue));
  }
}

// Refused by a real kernel, each for its own reason.
TEST_F(RealProgram, RefusalsNameWhatTheProcessLacks) {
  const std::string program = copyForEveryone(HARDWARE_PROGRAM);
  for (const auto& [prefix, hint] : {std::pair{kWithoutPortRights, kNoRawioHint},
                                     std::pair{kAsNobody, kNotRootHint}}) {
    const Outcome outcome = run({prefixed(prefix, {program, "400"}), ""});

    EXPECT_EQ(outcome.out, kBanner + kHacking + kClosingNothing) << prefix[1];
    EXPECT_EQ(outcome.err, kRefusalPrefix + hint) << prefix[1];
    EXPECT_EQ(outcome.exitStatus, 1) << prefix[1];
  }
}

// Runs alone, in a guest booted with lockdown=integrity.
TEST_F(RealProgram, LockdownRefusesEvenRoot) {
  ASSERT_NE(readFile("/sys/kernel/security/lockdown").find("[integrity]"), std::string::npos)
      << "the kernel is not locked down";

  const Outcome outcome = run({{HARDWARE_PROGRAM, "250"}, ""});

  EXPECT_EQ(outcome.out, kBanner + kHacking + kClosingNothing);
  EXPECT_EQ(outcome.err, kRefusalPrefix + kLockdownHint);
  EXPECT_EQ(outcome.exitStatus, 1);
}

// Forging a GMA 950 identity on a real machine would reprogram whatever sits at 00:02.0: run only
// where the lab's kernel command line, QEMU's firmware and QEMU's VGA all say this is the guest.
bool insideTheLabGuest() {
  std::istringstream cmdline(readFile("/proc/cmdline"));
  bool labKernel = false;
  for (std::string word; cmdline >> word;) labKernel = labKernel || word == "gma950clock.lab=1";
  return labKernel && readFile("/sys/class/dmi/id/sys_vendor") == "QEMU\n" &&
         readFile(kDevice + "/vendor") == "0x1234\n" && readFile(kDevice + "/device") == "0x1111\n";
}

}  // namespace

int main(int argc, char* argv[]) {
  if (!insideTheLabGuest()) {
    std::cerr << "lab_port_test: runs only inside the hardware lab's QEMU guest; nothing was run\n";
    return 2;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
