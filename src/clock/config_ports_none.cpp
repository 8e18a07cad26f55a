// SPDX-License-Identifier: GPL-2.0-or-later
// Stand-in backend for processors without x86 port I/O: access is always refused.
#include "config_ports.h"

namespace gma950clock {
namespace {

// Only requestPortAccess is ever reached: the caller stops when it is refused.
class NoPortIo final : public ConfigPortAccess {
 public:
  AccessResult requestPortAccess() override {
    return {false, std::string(kConfigPortsName) + ": this build has no x86 port access"};
  }
  void selectConfigRegister(std::uint32_t) override {}
  ReadResult readConfigData() override { return {false, 0xFFFFFFFFu, requestPortAccess().reason}; }
  AccessResult writeConfigData(std::uint32_t) override { return requestPortAccess(); }
};

}  // namespace

std::unique_ptr<ConfigPortAccess> openPlatformConfigPorts(std::ostream&) {
  return std::make_unique<NoPortIo>();
}

}  // namespace gma950clock
