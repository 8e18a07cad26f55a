// SPDX-License-Identifier: GPL-2.0-or-later
// The three GMA 950 core clock settings and the register sequence that applies one of them.
#pragma once

#include <array>
#include <cstdint>
#include <ostream>

#include "config_ports.h"

namespace gma950clock {

// The GMA 950 answers at PCI 00:02.0: its identity at offset 0x00, its clock select at 0xF0.
constexpr std::uint32_t kGma950IdentityAddress = makeConfigAddress(0, 2, 0, 0x00);
constexpr std::uint32_t kGma950ClockRegisterAddress = makeConfigAddress(0, 2, 0, 0xF0);
static_assert(kGma950ClockRegisterAddress == 0x800010F0u, "register 0xF0 of 00:02.0");

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
// line on `err` and without writing to the device, when access is refused, the device at 00:02.0
// is not a GMA 950 or a register it needs cannot be read; when a write fails, after one line on
// `err` saying what was written back, and the report of what the register holds then; and when
// the register cannot be read back, after one line on `err` instead of that report.
bool applyClockSetting(const ClockSetting& setting, ConfigPortAccess& ports, std::ostream& out,
                       std::ostream& err);

}  // namespace gma950clock
