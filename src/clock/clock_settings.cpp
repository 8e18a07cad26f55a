// SPDX-License-Identifier: GPL-2.0-or-later
// Rewrites register 0xF0 of the GMA 950 (PCI 00:02.0), which selects the graphics core clock.
#include "clock_settings.h"

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace gma950clock {
namespace {

// The hardware expects this value before every final value.
constexpr std::uint32_t kIntermediateValue = 0x34646000u;
#define GMA950_REPORT_MASK(mask) constexpr std::uint32_t kReportMask = mask;
#include "gma950.def"

// Vendor and device, as the identity register at offset 0x00 holds them.
constexpr std::uint32_t kGma950Identities[] = {
#define GMA950_DEVICE(vendor, device) (vendor) | (device) << 16,
#include "gma950.def"
};

const std::array<ClockSetting, 3> kClockSettings = {{
#define GMA950_SETTING(key, argument, megahertz, registerValue) {key, argument, megahertz, registerValue},
#include "gma950.def"
}};

bool isGma950(std::uint32_t identity) {
  for (std::uint32_t known : kGma950Identities) {
    if (identity == known) return true;
  }
  return false;
}

// Formatted apart from `out` so the caller's stream flags neither shape nor absorb it.
std::string hexDigits(std::uint32_t value) {
  char digits[9];
  std::snprintf(digits, sizeof digits, "%x", static_cast<unsigned>(value));
  return digits;
}

// Keeps ^C, a closed terminal and the like from ending the process between the two data writes,
// which would leave the intermediate value in the register; they are delivered afterwards.
class AsyncSignalBlock {
 public:
  AsyncSignalBlock() {
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGPIPE}) {
      sigaddset(&blocked, signal);
    }
    sigprocmask(SIG_BLOCK, &blocked, &previous_);
  }
  ~AsyncSignalBlock() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  AsyncSignalBlock(const AsyncSignalBlock&) = delete;
  AsyncSignalBlock& operator=(const AsyncSignalBlock&) = delete;

 private:
  sigset_t previous_;
};

// Selecting before every data access narrows the window in which another user of the shared
// address port can redirect our access. All ones is no value of register 0xF0: it is what the
// ports answer when nothing responds.
ReadResult readClockRegister(ConfigPortAccess& ports) {
  ports.selectConfigRegister(kGma950ClockRegisterAddress);
  ReadResult result = ports.readConfigData();
  if (result.read && result.value == 0xFFFFFFFFu) {
    result = {false, result.value, "register 0xF0 of PCI 00:02.0 reads as all ones"};
  }
  return result;
}

AccessResult writeClockRegister(ConfigPortAccess& ports, std::uint32_t value) {
  ports.selectConfigRegister(kGma950ClockRegisterAddress);
  return ports.writeConfigData(value);
}

// The intermediate value, then the setting's, with signals held back. The register is never left
// with the intermediate value: if the setting's value cannot follow it, the value read before
// goes back. Returns what went wrong, or nothing; `changed` tells whether anything was written.
std::string writeSetting(ConfigPortAccess& ports, std::uint32_t value, std::uint32_t before,
                         bool& changed) {
  AsyncSignalBlock uninterruptible;
  const AccessResult intermediate = writeClockRegister(ports, kIntermediateValue);
  changed = intermediate.granted;
  if (!intermediate.granted) return intermediate.reason + "; nothing was changed";
  const AccessResult chosen = writeClockRegister(ports, value);
  if (chosen.granted) return {};
  const AccessResult restored = writeClockRegister(ports, before);
  if (restored.granted) return chosen.reason + "; the value read before was written back";
  return chosen.reason + "; writing back the value read before failed too: " + restored.reason;
}

}  // namespace

const std::array<ClockSetting, 3>& getClockSettings() { return kClockSettings; }

const ClockSetting* findClockSettingByArgument(const char* argument) {
  for (const ClockSetting& setting : kClockSettings) {
    if (std::strcmp(setting.argument, argument) == 0) return &setting;
  }
  return nullptr;
}

const ClockSetting* findClockSettingByKey(char key) {
  for (const ClockSetting& setting : kClockSettings) {
    if (setting.key == key) return &setting;
  }
  return nullptr;
}

bool applyClockSetting(const ClockSetting& setting, ConfigPortAccess& ports, std::ostream& out,
                       std::ostream& err) {
  out << "\nHacking hardware registers now...\n\n";

  const AccessResult access = ports.requestPortAccess();
  if (!access.granted) {
    err << "gma950clock: cannot access " << access.reason << '\n';
    return false;
  }

  ports.selectConfigRegister(kGma950IdentityAddress);
  const ReadResult identity = ports.readConfigData();
  if (!identity.read) {
    err << "gma950clock: cannot read the identity of PCI 00:02.0: " << identity.reason
        << "; nothing was changed\n";
    return false;
  }
  if (!isGma950(identity.value)) {
    char vendorAndDevice[10];
    std::snprintf(vendorAndDevice, sizeof vendorAndDevice, "%04x:%04x",
                  static_cast<unsigned>(identity.value & 0xFFFFu),
                  static_cast<unsigned>(identity.value >> 16));
    err << "gma950clock: the device at PCI 00:02.0 is " << vendorAndDevice
        << ", not an Intel(R) GMA 950; nothing was changed\n";
    return false;
  }

  // Only a value that was read is reported, or ever written back.
  const ReadResult before = readClockRegister(ports);
  if (!before.read) {
    err << "gma950clock: cannot read the clock register: " << before.reason << "; nothing was changed\n";
    return false;
  }
  out << hexDigits(before.value ^ kReportMask) << '\n';
  bool changed = false;
  const std::string failure = writeSetting(ports, setting.registerValue, before.value, changed);
  if (!failure.empty()) err << "gma950clock: cannot write the clock register: " << failure << '\n';
  if (!changed) return false;
  // What the register holds now, whether the setting or the value written back.
  const ReadResult after = readClockRegister(ports);
  if (!after.read) {
    err << "gma950clock: cannot read the clock register back: " << after.reason << '\n';
    return false;
  }
  out << hexDigits(after.value ^ kReportMask) << (failure.empty() ? "\n\n" : "\n");
  if (!failure.empty()) return false;

  out << "Done - GMA 950 should now be running at a speed of " << std::to_string(setting.megahertz)
      << " MHz\n";
  return true;
}

}  // namespace gma950clock
