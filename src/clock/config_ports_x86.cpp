// SPDX-License-Identifier: GPL-2.0-or-later
// The real backends of an x86 build (i386, x86_64): the kernel's configuration file of the GMA
// 950's function wherever the kernel lists PCI functions in sysfs, else ioperm plus 32-bit in/out
// instructions on the configuration ports.
#include <sys/io.h>

#include <cerrno>

#include "clock_settings.h"
#include "config_ports.h"

namespace gma950clock {
namespace {

// The ports are shared by all software on the machine, the kernel's own configuration accesses
// included, and no lock covers them from user space: another select between ours and the data
// access redirects it. Used only where the kernel offers no configuration file.
class X86ConfigPorts final : public ConfigPortAccess {
 public:
  AccessResult requestPortAccess() override {
    if (ioperm(kConfigAddressPort, kConfigPortCount, 1) != 0) {
      const int error = errno;  // before the privileges are read
      return {false, std::string(kConfigPortsName) + ": " +
                         describePortRefusal(error, getProcessPrivileges())};
    }
    return {true, {}};
  }
  // glibc's out* take the value first and the port second.
  void selectConfigRegister(std::uint32_t address) override { outl(address, kConfigAddressPort); }
  ReadResult readConfigData() override { return {true, inl(kConfigDataPort), {}}; }
  AccessResult writeConfigData(std::uint32_t value) override {
    outl(value, kConfigDataPort);
    return {true, {}};
  }
};

}  // namespace

std::unique_ptr<ConfigPortAccess> openX86ConfigPorts() { return std::make_unique<X86ConfigPorts>(); }

std::unique_ptr<ConfigPortAccess> openPlatformConfigPorts(std::ostream&) {
  const KernelConfigPaths kernel;
  if (kernelListsPciFunctions(kernel)) return openKernelConfigFile(kGma950ClockRegisterAddress, kernel);
  return openX86ConfigPorts();
}

}  // namespace gma950clock
