// SPDX-License-Identifier: GPL-2.0-or-later
// Why the kernel refused configuration access, worded so the user can act on it.
#include "config_ports.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gma950clock {
namespace {

// capget is read directly so that no capability library is needed.
bool hasEffective(int capability) {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_TO_INDEX(capability)].effective & CAP_TO_MASK(capability)) != 0;
}

std::string withHint(int error, const char* hint) {
  std::string reason = std::strerror(error);
  if (hint != nullptr) reason.append("; ").append(hint);
  return reason;
}

}  // namespace

ProcessPrivileges getProcessPrivileges() {
  return {geteuid() == 0, hasEffective(CAP_SYS_RAWIO), hasEffective(CAP_SYS_ADMIN)};
}

// ioperm is granted only with CAP_SYS_RAWIO in the effective set.
std::string describePortRefusal(int error, const ProcessPrivileges& privileges) {
  const char* hint = nullptr;
  if (error == ENOSYS) {
    hint = "this kernel was built without ioperm (CONFIG_X86_IOPL_IOPERM)";
  } else if (error == EPERM && privileges.rawioEffective) {
    // With the capability, only lockdown (LOCKDOWN_IOPORT) still says no.
    hint = "the kernel is locked down (Secure Boot?)";
  } else if (error == EPERM && privileges.root) {
    hint = "the process lacks CAP_SYS_RAWIO (container or service sandbox?)";
  } else if (error == EPERM) {
    hint = "run it as root";
  }
  return withHint(error, hint);
}

// The file is root's, mode 0644; once it is open, only lockdown (LOCKDOWN_PCI_ACCESS) refuses a
// write.
std::string describeConfigFileRefusal(int error, const ProcessPrivileges& privileges) {
  const char* hint = nullptr;
  if (error == EACCES && !privileges.root) {
    hint = "run it as root";
  } else if (error == EROFS) {
    hint = "/sys is mounted read-only (container or service sandbox?)";
  } else if (error == EPERM) {
    hint = "the kernel is locked down (Secure Boot?)";
  }
  return withHint(error, hint);
}

}  // namespace gma950clock
