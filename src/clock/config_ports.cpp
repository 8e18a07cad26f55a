// Wording shared by the backends that ask the kernel for the configuration ports.
#include "config_ports.h"

#include <unistd.h>

#include <cstring>

namespace gma950clock {

std::string describePortRefusal(int error) {
  // ioperm needs CAP_SYS_RAWIO; root without it is usually a locked-down kernel.
  const char* hint =
      geteuid() == 0 ? "the kernel refuses port access (kernel lockdown?)" : "run it as root";
  return std::string(std::strerror(error)) + "; " + hint;
}

}  // namespace gma950clock
