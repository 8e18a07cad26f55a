// SPDX-License-Identifier: GPL-2.0-or-later
// Hardware lab checks, run as root inside the QEMU guest: the real program and both real roads to
// configuration space, the kernel's file of 00:02.0 and the x86 ports, against QEMU's emulated
// chipset or the lab's GMA 950 model in the guest's kernel, judged by the kernel's own view of PCI
// 00:02.0.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
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
using gma950clock::kGma950ClockRegisterAddress;
using gma950clock::kGma950IdentityAddress;

const std::string kDevice = "/sys/bus/pci/devices/0000:00:02.0";
const std::string kEmulatedRefusal =
    "gma950clock: the device at PCI 00:02.0 is 1234:1111, not an Intel(R) GMA 950; nothing was "
    "changed\n";
// Both printed reports are the register exclusive-or this mask.
constexpr std::uint32_t kReportMask = 0x00B4E21Du;
constexpr std::uint32_t kForgedIdentity = 0x27A28086u;  // 8086:27a2, a 945GM
constexpr std::uint32_t kStartValue = 0x0BADC0DEu;

// In front of a command: the same root, in a mount namespace without sysfs, where the program
// finds no configuration file and takes the port road.
const std::vector<std::string> kWithoutSysfs = {"unshare", "--mount", "--propagation", "private",
                                                "--",      "sh",      "-c",
                                                "umount -l /sys && exec \"$@\"", "sh"};

// A register as the kernel reads and writes it (its own configuration access, not ours).
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

// Passes every operation on, but answers a GMA 950's identity, so the whole sequence runs on the
// emulated device's register 0xF0.
class ForgedGma950Identity final : public ConfigPortAccess {
 public:
  explicit ForgedGma950Identity(ConfigPortAccess& access) : access_(access) {}

  std::uint32_t realIdentity = 0;

  gma950clock::AccessResult requestPortAccess() override { return access_.requestPortAccess(); }
  void selectConfigRegister(std::uint32_t address) override {
    selected_ = address;
    access_.selectConfigRegister(address);
  }
  gma950clock::ReadResult readConfigData() override {
    const gma950clock::ReadResult result = access_.readConfigData();
    if (selected_ != kGma950IdentityAddress) return result;
    realIdentity = result.value;
    return {true, kForgedIdentity, {}};
  }
  gma950clock::AccessResult writeConfigData(std::uint32_t value) override {
    return access_.writeConfigData(value);
  }

 private:
  ConfigPortAccess& access_;
  std::uint32_t selected_ = 0;
};

// The ports' write path, on QEMU's VGA with only the identity forged: the lab's GMA 950 answers
// through the kernel's file alone, where the program itself proves the write path.
class WritePath : public ::testing::TestWithParam<ClockSetting> {};

TEST_P(WritePath, RegisterHoldsTheSettingAndReportsUnmaskToTheKernelsValues) {
  const ClockSetting& setting = GetParam();
  writeKernelRegisterF0(kStartValue);
  const std::unique_ptr<ConfigPortAccess> access = gma950clock::openX86ConfigPorts();
  ForgedGma950Identity forged(*access);
  std::ostringstream out;
  std::ostringstream err;

  ASSERT_TRUE(gma950clock::applyClockSetting(setting, forged, out, err)) << err.str();

  const std::uint32_t after = readKernelRegister(0xF0);
  EXPECT_EQ(hex(after), hex(setting.registerValue));
  EXPECT_EQ(hex(forged.realIdentity), hex(readKernelRegister(0x00))) << "identity read by the road";
  std::istringstream reports(out.str().substr(kHacking.size()));
  std::uint32_t printedBefore = 0;
  std::uint32_t printedAfter = 0;
  ASSERT_TRUE(reports >> std::hex >> printedBefore >> printedAfter) << out.str();
  EXPECT_EQ(hex(printedBefore ^ kReportMask), hex(kStartValue));
  EXPECT_EQ(hex(printedAfter ^ kReportMask), hex(after));
}

INSTANTIATE_TEST_SUITE_P(Ports, WritePath, ::testing::ValuesIn(gma950clock::getClockSettings()),
                         [](const auto& info) { return std::string(info.param.argument); });

using RealProgram = ProgramRuns;

// The program users install reaches the emulated device on either road, identifies QEMU's VGA and
// writes nothing.
TEST_F(RealProgram, RefusesTheEmulatedDeviceAndLeavesTheRegister) {
  struct Case {
    std::vector<std::string> prefix;
    std::vector<std::string> arguments;
    std::string input;
    std::string out;
  };
  for (const Case& c : {Case{{}, {"400"}, "", kBanner + kHacking + kClosingNothing},
                        Case{{}, {}, "3\n", kMenuScreen + kHacking + kClosingNothing},
                        Case{kWithoutSysfs, {"200"}, "", kBanner + kHacking + kClosingNothing},
                        Case{kWithoutSysfs, {}, "4\n", kMenuScreen + kHacking + kClosingNothing}}) {
    writeKernelRegisterF0(kStartValue);
    const Outcome outcome = run({prefixed(c.prefix, prefixed({HARDWARE_PROGRAM}, c.arguments)), c.input});

    const std::string road = c.prefix.empty() ? "kernel file" : "ports";
    EXPECT_EQ(outcome.out, c.out) << road;
    EXPECT_EQ(outcome.err, kEmulatedRefusal) << road;
    EXPECT_EQ(outcome.exitStatus, 1) << road;
    EXPECT_EQ(hex(readKernelRegister(0xF0)), hex(kStartValue)) << road;
  }
}

// On the machines with the lab's GMA 950 model in the guest's kernel: the program as users run it,
// judged by what the kernel reads back.
class Model : public ProgramRuns {
 protected:
  void SetUp() override {
    ProgramRuns::SetUp();
    ASSERT_EQ(readFile("/sys/module/gma950_model/initstate"), "live\n") << "the model is not loaded";
  }

  static std::string masked(std::uint32_t value) {
    char text[10];
    std::snprintf(text, sizeof text, "%x\n", static_cast<unsigned>(value ^ kReportMask));
    return text;
  }
};

TEST_F(Model, SetsEachSpeedAndTheKernelReadsItBack) {
  struct Case {
    std::vector<std::string> arguments;
    std::string input;
    std::string screen;
    std::uint32_t value;
    const char* done;
  };
  for (const Case& c :
       {Case{{"400"}, "", kBanner, 0x34640533u, "Done - GMA 950 should now be running at a speed of 400 MHz\n"},
        Case{{"250"}, "", kBanner, 0x34640531u, "Done - GMA 950 should now be running at a speed of 250 MHz\n"},
        Case{{}, "2\n", kMenuScreen, 0x34640534u, "Done - GMA 950 should now be running at a speed of 200 MHz\n"}}) {
    const std::uint32_t before = readKernelRegister(0xF0);
    const Outcome outcome = run({prefixed({HARDWARE_PROGRAM}, c.arguments), c.input});

    EXPECT_EQ(outcome.out, c.screen + kHacking + masked(before) + masked(c.value) + "\n" + c.done + kClosingApplied);
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.exitStatus, 0);
    EXPECT_EQ(hex(readKernelRegister(0xF0)), hex(c.value));
    std::cout << "lab: " << c.done << "lab: 0xF0 read back: " << hex(readKernelRegister(0xF0)) << "\n";
  }
}

// Each refusal, on either road, leaves the register as it was, and says what the kernel showed.
TEST_F(Model, RefusalsLeaveTheRegister) {
  const std::string program = copyForEveryone(HARDWARE_PROGRAM);
  const std::vector<std::string> inAUserNamespace = {"unshare", "--user", "--map-root-user", "--"};
  struct Case {
    std::vector<std::string> prefix;
    std::string err;
  };
  for (const Case& c :
       {Case{kAsNobody, kConfigFileRefusalPrefix + "Permission denied; run it as root\n"},
        Case{kWithoutSysAdmin, kConfigFileRefusalPrefix + kNoSysAdminHint},
        Case{inAUserNamespace, kConfigFileRefusalPrefix + kNoSysAdminHint},
        // The raw ports reach QEMU, which has nothing at 00:02.0.
        Case{kWithoutSysfs, "gma950clock: the device at PCI 00:02.0 is ffff:ffff, not an Intel(R) GMA 950; "
                            "nothing was changed\n"},
        Case{prefixed(kWithoutSysfs, kAsNobody), kRefusalPrefix + kNotRootHint},
        Case{prefixed(kWithoutSysfs, kWithoutPortRights), kRefusalPrefix + kNoRawioHint}}) {
    const std::uint32_t before = readKernelRegister(0xF0);
    const Outcome outcome = run({prefixed(c.prefix, {program, "400"}), ""});

    EXPECT_EQ(outcome.out, kBanner + kHacking + kClosingNothing) << c.err;
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_EQ(outcome.exitStatus, 1) << c.err;
    EXPECT_EQ(hex(readKernelRegister(0xF0)), hex(before)) << c.err;
    std::cout << "lab: " << outcome.err << "lab: 0xF0 after it: " << hex(readKernelRegister(0xF0)) << "\n";
  }
}

// The rest run once lockdown has been raised (the model, an unsigned module, could not have been
// loaded after): the kernel's file still reads, but refuses every write, and the ports are refused.
class ModelLockdown : public Model {
 protected:
  void SetUp() override {
    Model::SetUp();
    ASSERT_NE(readFile("/sys/kernel/security/lockdown").find("[integrity]"), std::string::npos)
        << "the kernel is not locked down";
  }
};

TEST_F(ModelLockdown, RefusedBeforeAWriteOrByTheKernelsFirstRefusal) {
  // Without securityfs the lockdown state cannot be read, and the first write is where the kernel
  // says no; without sysfs the program takes the ports.
  const std::vector<std::string> withoutSecurityfs = {
      "unshare", "--mount", "--propagation", "private", "--", "sh", "-c",
      "umount /sys/kernel/security && exec \"$@\"", "sh"};
  const std::string unexplained =
      "Operation not permitted; kernel lockdown, a security module or a system-call filter refused it";
  struct Case {
    std::vector<std::string> prefix;
    bool reportsTheRegister;  // read before the kernel refused the first write
    std::string err;
  };
  for (const Case& c :
       {Case{{}, false, kConfigFileRefusalPrefix + kLockdownHint},
        Case{withoutSecurityfs, true,
             "gma950clock: cannot write the clock register: " + kConfigFile + ": " + unexplained +
                 "; nothing was changed\n"},
        Case{kWithoutSysfs, false, kRefusalPrefix + unexplained + "\n"}}) {
    const std::uint32_t before = readKernelRegister(0xF0);
    const Outcome outcome = run({prefixed(c.prefix, {HARDWARE_PROGRAM, "250"}), ""});

    EXPECT_EQ(outcome.out, kBanner + kHacking + (c.reportsTheRegister ? masked(before) : "") + kClosingNothing)
        << c.err;
    EXPECT_EQ(outcome.err, c.err);
    EXPECT_EQ(outcome.exitStatus, 1) << c.err;
    EXPECT_EQ(hex(readKernelRegister(0xF0)), hex(before)) << c.err;
    std::cout << "lab: " << outcome.err << "lab: 0xF0 after it: " << hex(readKernelRegister(0xF0)) << "\n";
  }
}

// Runs with the kernel reading every device's configuration space on the other processor. Through
// the kernel's file, our select and data access are one access under the kernel's lock: never
// redirected. Alternating between two registers makes a redirect show either way.
std::uint64_t countRedirects(ConfigPortAccess& access, std::uint64_t pairs, std::uint32_t identity,
                             std::uint32_t registerF0) {
  std::uint64_t redirected = 0;
  for (std::uint64_t pair = 0; pair < pairs; ++pair) {
    const bool identityRead = pair % 2 == 0;
    access.selectConfigRegister(identityRead ? kGma950IdentityAddress : kGma950ClockRegisterAddress);
    if (access.readConfigData().value != (identityRead ? identity : registerF0)) ++redirected;
  }
  return redirected;
}

TEST(UnderKernelLoad, KernelFileReadsTheRightRegisterEveryTime) {
  constexpr std::uint64_t kPairs = 100000;
  writeKernelRegisterF0(kStartValue);
  const auto file = gma950clock::openKernelConfigFile(kGma950ClockRegisterAddress);
  ASSERT_TRUE(file->requestPortAccess().granted);
  const auto start = std::chrono::steady_clock::now();

  EXPECT_EQ(countRedirects(*file, kPairs, readKernelRegister(0x00), kStartValue), 0u)
      << "of " << kPairs << " select+read pairs";

  std::cout << "lab: " << kPairs << " select+read pairs through the kernel's file in "
            << std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count()
            << " s\n";
}

// The program on the lab's GMA 950, GMA950CLOCK_LAB_RUNS times, alternating 400, 250 and 200 MHz:
// every run reports the speed it set, names no other device, and leaves that setting in 0xF0.
using UnderKernelLoadRuns = ProgramRuns;

TEST_F(UnderKernelLoadRuns, EveryRunSetsTheSpeedItReports) {
  const char* count = std::getenv("GMA950CLOCK_LAB_RUNS");
  const unsigned long runs = count == nullptr ? 300 : std::strtoul(count, nullptr, 10);
  const auto& settings = gma950clock::getClockSettings();
  const auto start = std::chrono::steady_clock::now();
  unsigned long wrong = 0;
  std::map<std::string, unsigned long> refusals;
  for (unsigned long index = 0; index < runs; ++index) {
    const ClockSetting& setting = settings[index % settings.size()];
    const Outcome outcome = run({{HARDWARE_PROGRAM, setting.argument}, ""});
    const std::string done =
        std::string("\nDone - GMA 950 should now be running at a speed of ") + setting.argument + " MHz\n";
    if (outcome.exitStatus != 0 || !outcome.err.empty() || outcome.out.find(done) == std::string::npos ||
        readKernelRegister(0xF0) != setting.registerValue) {
      ++wrong;
      ++refusals[outcome.err];
    }
  }
  std::cout << "lab: " << runs << " runs of the program alternating 400, 250 and 200 MHz in "
            << std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count()
            << " s: " << wrong << " did not set and report their speed\n";
  for (const auto& [err, times] : refusals) std::cout << "lab: " << times << " times: " << err;
  EXPECT_EQ(wrong, 0u);
}

// A benchmark figure, never a verdict: how often the port road is redirected under the same load.
// On the model's machine the ports reach QEMU, which has nothing at 00:02.0: both registers read
// as all ones there.
int printPortRedirects(std::uint64_t pairs) {
  const auto ports = gma950clock::openX86ConfigPorts();
  if (!ports->requestPortAccess().granted) return 1;
  const std::uint64_t redirected = countRedirects(*ports, pairs, 0xFFFFFFFFu, 0xFFFFFFFFu);
  std::printf("bench: port road under kernel load: %llu of %llu select+read pairs read another register (%.3f%%)\n",
              static_cast<unsigned long long>(redirected), static_cast<unsigned long long>(pairs),
              100.0 * static_cast<double>(redirected) / static_cast<double>(pairs));
  return 0;
}

// Forging a GMA 950 identity on a real machine would reprogram whatever sits at 00:02.0: run only
// where the lab's kernel command line, QEMU's firmware and QEMU's VGA or the lab's model all say
// this is the guest.
bool insideTheLabGuest() {
  std::istringstream cmdline(readFile("/proc/cmdline"));
  bool labKernel = false;
  for (std::string word; cmdline >> word;) labKernel = labKernel || word == "gma950clock.lab=1";
  const bool emulatedVga =
      readFile(kDevice + "/vendor") == "0x1234\n" && readFile(kDevice + "/device") == "0x1111\n";
  const bool model = readFile("/sys/module/gma950_model/initstate") == "live\n";
  return labKernel && readFile("/sys/class/dmi/id/sys_vendor") == "QEMU\n" && (emulatedVga || model);
}

}  // namespace

// Usage: gma950clock_lab_port_test [GOOGLETEST OPTION]... | --port-redirects PAIRS
int main(int argc, char* argv[]) {
  if (!insideTheLabGuest()) {
    std::cerr << "lab_port_test: runs only inside the hardware lab's QEMU guest; nothing was run\n";
    return 2;
  }
  if (argc == 3 && std::strcmp(argv[1], "--port-redirects") == 0) {
    return printPortRedirects(std::strtoull(argv[2], nullptr, 10));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
