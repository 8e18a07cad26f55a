// SPDX-License-Identifier: GPL-2.0-or-later
// PCI configuration-space access through the Mechanism #1 ports, behind one interface per backend.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

namespace gma950clock {

// The address port 0xCF8 and the data port 0xCFC lie in the eight ports 0xCF8-0xCFF.
constexpr std::uint16_t kConfigAddressPort = 0xCF8;
constexpr std::uint16_t kConfigDataPort = 0xCFC;
constexpr unsigned kConfigPortCount = 8;

// Mechanism #1 address of one 32-bit register: enable bit 31, bus 23-16, device 15-11,
// function 10-8, register offset 7-2 (the two low bits are always zero).
constexpr std::uint32_t makeConfigAddress(unsigned bus, unsigned device, unsigned function,
                                          unsigned offset) {
  return 0x80000000u | (bus & 0xFFu) << 16 | (device & 0x1Fu) << 11 | (function & 0x7u) << 8 |
         (offset & 0xFCu);
}

// Outcome of asking for the ports; `reason` says why they were refused, ready for the user.
struct PortAccessResult {
  bool granted;
  std::string reason;
};

// The port operations, kept abstract so the clock logic can be driven by a simulation or a
// recording fake in tests.
class ConfigPortAccess {
 public:
  virtual ~ConfigPortAccess() = default;
  // Must succeed before any other operation is called.
  virtual PortAccessResult requestPortAccess() = 0;
  // Writes `address` to the address port; later data-port accesses reach that register.
  virtual void selectConfigRegister(std::uint32_t address) = 0;
  virtual std::uint32_t readConfigData() = 0;
  virtual void writeConfigData(std::uint32_t value) = 0;
};

// What decides why ioperm says no: the effective user and CAP_SYS_RAWIO in the effective set.
struct ProcessPrivileges {
  bool root;
  bool rawioEffective;
};
ProcessPrivileges getProcessPrivileges();

// The refusal text for a failed ioperm: strerror, then the cause the user can act on.
std::string describePortRefusal(int error, const ProcessPrivileges& privileges);

// The backend this executable was built with. Returns nullptr, after one line on `err`, when the
// backend cannot be set up (only the simulation can fail, on a malformed environment).
std::unique_ptr<ConfigPortAccess> openPlatformConfigPorts(std::ostream& err);

}  // namespace gma950clock
