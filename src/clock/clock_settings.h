// The three GMA 950 core clock settings and the register sequence that applies one of them.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>

#include "config_ports.h"

namespace gma950clock {

struct ClockSetting {
  char key;              // selects it in the menu
  const char* argument;  // selects it on the command line
  unsigned megahertz;
  std::uint32_t registerValue;  // left in register 0xF0 of 00:02.0
};

// In menu order: 400, 250, 200 MHz.
const std::array<ClockSetting, 3>& getClockSettings();

// nullptr when nothing matches; the argument must match as a whole string.
const ClockSetting* findClockSettingByArgument(const char* argument);
const ClockSetting* findClockSettingByKey(char key);

// Programs the clock and reports the register before and after on `out`. Returns false, after one
// line on `err` and without writing to the device, when the ports are refused or the device at
// 00:02.0 is not a GMA 950.
bool applyClockSetting(const ClockSetting& setting, ConfigPortAccess& ports, std::ostream& out,
                       std::ostream& err);

}  // namespace gma950clock
