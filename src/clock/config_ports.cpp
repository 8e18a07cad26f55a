// SPDX-License-Identifier: GPL-2.0-or-later
// Why the kernel refused configuration access, worded so the user can act on it.
#include "config_ports.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace gma950clock {
namespace {

// capget is read directly so that no capability library is needed.
bool hasEffective(int capability) {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  return (data[CAP_TO_INDEX(capability)].effective & CAP_TO_MASK(capability)) != 0;
}

std::string readSmallFile(const std::string& path) {
  char text[256] = {};
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const ssize_t length = read(fd, text, sizeof text - 1);
  close(fd);
  return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

// The initial user namespace maps every uid to itself: "0 0 4294967295" on one line. Any other
// map is a namespace's of its own, whose capabilities the kernel does not count for the ports.
bool inChildUserNamespace(const std::string& path) {
  std::istringstream map(readSmallFile(path));
  unsigned long long inside = 0, outside = 0, count = 0;
  if (!(map >> inside >> outside >> count)) return false;
  std::string more;
  return inside != 0 || outside != 0 || count != 4294967295ULL || static_cast<bool>(map >> more);
}

std::string withHint(int error, const char* hint) {
  std::string reason = std::strerror(error);
  if (hint != nullptr) reason.append("; ").append(hint);
  return reason;
}

// An EPERM that no missing right explains: lockdown is named only when its state says so.
const char* refusedDespiteRights(Lockdown lockdown) {
  switch (lockdown) {
    case Lockdown::kLockedDown:
      return "the kernel is locked down (Secure Boot?)";
    case Lockdown::kNone:
      return "a security module or a system-call filter refused it";
    case Lockdown::kUnknown:
      break;
  }
  return "kernel lockdown, a security module or a system-call filter refused it";
}

// ioperm's EPERM: granted only with CAP_SYS_RAWIO in the machine's initial user namespace, and
// not under lockdown (LOCKDOWN_IOPORT).
const char* portPermissionHint(const ProcessPrivileges& privileges) {
  if (privileges.lockdown == Lockdown::kLockedDown) return refusedDespiteRights(privileges.lockdown);
  if (privileges.rawioEffective && !privileges.initialUserNamespace) {
    return "the process has CAP_SYS_RAWIO only in a user namespace of its own (container?)";
  }
  if (privileges.rawioEffective) return refusedDespiteRights(privileges.lockdown);
  if (privileges.root) return "the process lacks CAP_SYS_RAWIO (container or service sandbox?)";
  return "run it as root";
}

}  // namespace

ProcessPrivileges getProcessPrivileges(const KernelConfigPaths& paths) {
  return {geteuid() == 0, hasEffective(CAP_SYS_RAWIO), !inChildUserNamespace(paths.uidMap),
          getLockdown(paths)};
}

// "none [integrity] confidentiality": the word in brackets is the state. Without securityfs
// mounted there is nothing to read.
Lockdown getLockdown(const KernelConfigPaths& paths) {
  const std::string state = readSmallFile(paths.lockdown);
  if (state.find('[') == std::string::npos) return Lockdown::kUnknown;
  return state.find("[none]") == std::string::npos ? Lockdown::kLockedDown : Lockdown::kNone;
}

std::string describePortRefusal(int error, const ProcessPrivileges& privileges) {
  const char* hint = nullptr;
  if (error == ENOSYS) {
    hint = "this kernel was built without ioperm (CONFIG_X86_IOPL_IOPERM)";
  } else if (error == EPERM) {
    hint = portPermissionHint(privileges);
  }
  return withHint(error, hint);
}

// The file is root's, mode 0644; once it is open, only lockdown (LOCKDOWN_PCI_ACCESS), a security
// module or a system-call filter refuse a write.
std::string describeConfigFileRefusal(int error, const ProcessPrivileges& privileges) {
  const char* hint = nullptr;
  if (error == EACCES && !privileges.root) {
    hint = "run it as root";
  } else if (error == EROFS) {
    hint = "/sys is mounted read-only (container or service sandbox?)";
  } else if (error == EPERM) {
    hint = refusedDespiteRights(privileges.lockdown);
  }
  return withHint(error, hint);
}

}  // namespace gma950clock
