// SPDX-License-Identifier: GPL-2.0-or-later
// PCI configuration-space access, through the kernel's configuration file of a function or the
// Mechanism #1 ports, behind one interface per backend.
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
// How the port backends name what they ask for in a refusal.
constexpr const char* kConfigPortsName = "I/O ports 0xCF8-0xCFF";

// Mechanism #1 address of one 32-bit register: enable bit 31, bus 23-16, device 15-11,
// function 10-8, register offset 7-2 (the two low bits are always zero).
constexpr std::uint32_t makeConfigAddress(unsigned bus, unsigned device, unsigned function,
                                          unsigned offset) {
  return 0x80000000u | (bus & 0xFFu) << 16 | (device & 0x1Fu) << 11 | (function & 0x7u) << 8 |
         (offset & 0xFCu);
}

// Outcome of asking for access, or of a data write. When it failed, `reason` names what was
// refused and why, ready for the user: "<what>: <error>; <cause>".
struct AccessResult {
  bool granted;
  std::string reason;
};

// Outcome of a data read: the register's value, or, when none could be read, what the kernel
// answered instead ("<what>: <answer>").
struct ReadResult {
  bool read;
  std::uint32_t value;
  std::string reason;
};

// The configuration operations, kept abstract so the clock logic can be driven by a simulation or
// a recording fake in tests.
class ConfigPortAccess {
 public:
  virtual ~ConfigPortAccess() = default;
  // Must succeed before any other operation is called.
  virtual AccessResult requestPortAccess() = 0;
  // Names the register that later data accesses reach.
  virtual void selectConfigRegister(std::uint32_t address) = 0;
  // The ports cannot tell a failed read from an empty slot of the bus: both answer all ones.
  virtual ReadResult readConfigData() = 0;
  virtual AccessResult writeConfigData(std::uint32_t value) = 0;
};

// The kernel's lockdown state as /sys/kernel/security/lockdown shows it, if it can be read.
enum class Lockdown { kUnknown, kNone, kLockedDown };

// What the kernel shows of why it may say no: the effective user; the capability in the
// effective set that opens the ports, which counts only in the machine's initial user namespace
// (the kernel checks it there); and the lockdown state.
struct ProcessPrivileges {
  bool root;
  bool rawioEffective;
  bool initialUserNamespace;
  Lockdown lockdown;
};

// Where the kernel shows PCI functions, its lockdown state and the process's user namespace;
// tests point them elsewhere.
struct KernelConfigPaths {
  std::string devices = "/sys/bus/pci/devices";
  std::string lockdown = "/sys/kernel/security/lockdown";
  std::string uidMap = "/proc/self/uid_map";
};

ProcessPrivileges getProcessPrivileges(const KernelConfigPaths& paths = {});
Lockdown getLockdown(const KernelConfigPaths& paths);

// The refusal of a failed ioperm: strerror, then the cause the user can act on. A cause is named
// only where what the kernel shows leaves no other; otherwise every possible one is.
std::string describePortRefusal(int error, const ProcessPrivileges& privileges);
// The same for a configuration file that could not be opened or written.
std::string describeConfigFileRefusal(int error, const ProcessPrivileges& privileges);

// Whether the kernel lists PCI functions in sysfs, so that their configuration files can be used.
bool kernelListsPciFunctions(const KernelConfigPaths& paths);

// The backend through the kernel's configuration file of the function that `address` names: the
// kernel serializes every access to it with its own, under its lock.
std::unique_ptr<ConfigPortAccess> openKernelConfigFile(std::uint32_t address,
                                                       const KernelConfigPaths& paths = {});

// The raw ports of an x86 build, where the kernel lists no PCI function to go through instead.
std::unique_ptr<ConfigPortAccess> openX86ConfigPorts();

// The backend this executable was built with. Returns nullptr, after one line on `err`, when the
// backend cannot be set up (only the simulation can fail, on a malformed environment).
std::unique_ptr<ConfigPortAccess> openPlatformConfigPorts(std::ostream& err);

}  // namespace gma950clock
