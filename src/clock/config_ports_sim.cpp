// SPDX-License-Identifier: GPL-2.0-or-later
// Simulated GMA 950 behind the configuration ports, set up from GMA950CLOCK_SIM_* variables.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "clock_settings.h"
#include "config_ports.h"

namespace gma950clock {
namespace {

// What an absent device or register answers on a PC.
constexpr std::uint32_t kFloatingBus = 0xFFFFFFFFu;

struct SimulationSettings {
  std::uint32_t identity = 0x27A28086u;  // 945GM
  // The 200 MHz setting, until GMA950CLOCK_SIM_F0 says otherwise.
  std::uint32_t clockRegister = findClockSettingByArgument("200")->registerValue;
  bool denyAccess = false;
  std::string tracePath;
};

// Accepts 1 to `maxDigits` hex digits and nothing else.
bool parseHex(const std::string& text, unsigned maxDigits, std::uint32_t& value) {
  if (text.empty() || text.size() > maxDigits) return false;
  value = 0;
  for (char c : text) {
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  return true;
}

bool parseDevice(const std::string& text, std::uint32_t& identity) {
  std::uint32_t vendor = 0;
  std::uint32_t device = 0;
  if (text.size() != 9 || text[4] != ':' || !parseHex(text.substr(0, 4), 4, vendor) ||
      !parseHex(text.substr(5), 4, device)) {
    return false;
  }
  identity = device << 16 | vendor;
  return true;
}

bool parseRegister(std::string text, std::uint32_t& value) {
  if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) text.erase(0, 2);
  return parseHex(text, 8, value);
}

// On a malformed variable, returns false with `error` naming it and the expected form.
bool readSimulationSettings(SimulationSettings& settings, std::string& error) {
  if (const char* device = std::getenv("GMA950CLOCK_SIM_DEVICE")) {
    if (!parseDevice(device, settings.identity)) {
      error = "GMA950CLOCK_SIM_DEVICE must be vvvv:dddd in hex, not '" + std::string(device) + "'";
      return false;
    }
  }
  if (const char* f0 = std::getenv("GMA950CLOCK_SIM_F0")) {
    if (!parseRegister(f0, settings.clockRegister)) {
      error = "GMA950CLOCK_SIM_F0 must be 1 to 8 hex digits, 0x optional, not '" +
              std::string(f0) + "'";
      return false;
    }
  }
  if (const char* deny = std::getenv("GMA950CLOCK_SIM_DENY")) {
    if (std::strcmp(deny, "0") != 0 && std::strcmp(deny, "1") != 0) {
      error = "GMA950CLOCK_SIM_DENY must be 0 or 1, not '" + std::string(deny) + "'";
      return false;
    }
    settings.denyAccess = deny[0] == '1';
  }
  if (const char* trace = std::getenv("GMA950CLOCK_SIM_TRACE")) {
    if (trace[0] == '\0') {
      error = "GMA950CLOCK_SIM_TRACE must name a file";
      return false;
    }
    settings.tracePath = trace;
  }
  return true;
}

class SimulatedConfigPorts final : public ConfigPortAccess {
 public:
  SimulatedConfigPorts(const SimulationSettings& settings, std::ofstream trace)
      : settings_(settings), trace_(std::move(trace)) {}

  AccessResult requestPortAccess() override {
    traceLine("ioperm 0x" + hex(kConfigAddressPort, 0) + " " + std::to_string(kConfigPortCount) +
              " 1");
    if (settings_.denyAccess) {
      // The simulated kernel is not locked down; the process that asks is the real one.
      ProcessPrivileges privileges = getProcessPrivileges();
      privileges.lockdown = Lockdown::kNone;
      return {false, std::string(kConfigPortsName) + ": " + describePortRefusal(EPERM, privileges)};
    }
    return {true, {}};
  }

  void selectConfigRegister(std::uint32_t address) override {
    traceAccess("outl", kConfigAddressPort, address);
    selected_ = address;
  }

  ReadResult readConfigData() override {
    std::uint32_t value = kFloatingBus;
    if (selected_ == kGma950IdentityAddress) value = settings_.identity;
    if (selected_ == kGma950ClockRegisterAddress) value = settings_.clockRegister;
    traceAccess("inl", kConfigDataPort, value);
    return {true, value, {}};
  }

  AccessResult writeConfigData(std::uint32_t value) override {
    traceAccess("outl", kConfigDataPort, value);
    if (selected_ == kGma950ClockRegisterAddress) settings_.clockRegister = value;
    return {true, {}};
  }

 private:
  static std::string hex(std::uint32_t value, int width) {
    char text[9];
    std::snprintf(text, sizeof text, "%0*x", width, static_cast<unsigned>(value));
    return text;
  }

  void traceAccess(const char* operation, std::uint16_t port, std::uint32_t value) {
    traceLine(std::string(operation) + " 0x" + hex(port, 0) + " 0x" + hex(value, 8));
  }

  // Flushed line by line so the trace stays complete however the process ends.
  void traceLine(const std::string& line) {
    if (trace_.is_open()) trace_ << line << std::endl;
  }

  SimulationSettings settings_;
  std::ofstream trace_;
  std::uint32_t selected_ = 0;
};

}  // namespace

std::unique_ptr<ConfigPortAccess> openPlatformConfigPorts(std::ostream& err) {
  SimulationSettings settings;
  std::string error;
  if (!readSimulationSettings(settings, error)) {
    err << "gma950clock-sim: " << error << '\n';
    return nullptr;
  }
  std::ofstream trace;
  if (!settings.tracePath.empty()) {
    trace.open(settings.tracePath, std::ios::app);
    if (!trace) {
      err << "gma950clock-sim: GMA950CLOCK_SIM_TRACE: cannot open " << settings.tracePath << ": "
          << std::strerror(errno) << '\n';
      return nullptr;
    }
  }
  return std::make_unique<SimulatedConfigPorts>(settings, std::move(trace));
}

}  // namespace gma950clock
