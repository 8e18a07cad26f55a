// SPDX-License-Identifier: GPL-2.0-or-later
// The real backend: ioperm plus 32-bit in/out instructions on the configuration ports (i386, x86_64).
#include <sys/io.h>

#include <cerrno>

#include "config_ports.h"

namespace gma950clock {
namespace {

class X86ConfigPorts final : public ConfigPortAccess {
 public:
  PortAccessResult requestPortAccess() override {
    if (ioperm(kConfigAddressPort, kConfigPortCount, 1) != 0) {
      const int error = errno;  // before capget can overwrite it
      return {false, describePortRefusal(error, getProcessPrivileges())};
    }
    return {true, {}};
  }
  // glibc's out* take the value first and the port second.
  void selectConfigRegister(std::uint32_t address) override { outl(address, kConfigAddressPort); }
  std::uint32_t readConfigData() override { return inl(kConfigDataPort); }
  void writeConfigData(std::uint32_t value) override { outl(value, kConfigDataPort); }
};

}  // namespace

std::unique_ptr<ConfigPortAccess> openPlatformConfigPorts(std::ostream&) {
  return std::make_unique<X86ConfigPorts>();
}

}  // namespace gma950clock
