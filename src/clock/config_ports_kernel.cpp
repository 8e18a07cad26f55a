// SPDX-License-Identifier: GPL-2.0-or-later
// The backend through the kernel: a PCI function's configuration file in sysfs. The kernel makes
// every access to it under the lock it takes for its own (pci_lock), so that neither can
// redirect the other, as an access of ours to the shared ports 0xCF8/0xCFC could.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "config_ports.h"

namespace gma950clock {
namespace {

constexpr std::uint32_t kAllOnes = 0xFFFFFFFFu;
constexpr std::uint32_t kFunctionBits = 0x00FFFF00u;  // bus, device and function

std::string functionName(std::uint32_t address) {
  char name[13];
  std::snprintf(name, sizeof name, "0000:%02x:%02x.%x", static_cast<unsigned>(address >> 16 & 0xFFu),
                static_cast<unsigned>(address >> 11 & 0x1Fu), static_cast<unsigned>(address >> 8 & 0x7u));
  return name;
}

// The register the clock road needs. Without CAP_SYS_ADMIN in the machine's initial user namespace
// when the file was opened, the kernel shows only the standard header, the first 64 bytes.
constexpr off_t kClockRegisterOffset = 0xF0;
constexpr off_t kStandardHeaderLength = 64;

class KernelConfigFile final : public ConfigPortAccess {
 public:
  KernelConfigFile(std::uint32_t address, const KernelConfigPaths& paths)
      : function_(address & kFunctionBits),
        name_(functionName(address)),
        path_(paths.devices + "/" + name_ + "/config"),
        paths_(paths) {}
  ~KernelConfigFile() override {
    if (fd_ >= 0) close(fd_);
  }
  KernelConfigFile(const KernelConfigFile&) = delete;
  KernelConfigFile& operator=(const KernelConfigFile&) = delete;

  // Opened for writing at once, and register 0xF0 read, so that every refusal comes before the
  // first write.
  AccessResult requestPortAccess() override {
    fd_ = open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
      const int error = errno;  // before the privileges are read
      if (error == ENOENT) {
        return {false, path_ + ": " + std::strerror(error) + "; the kernel lists no PCI device " +
                           name_.substr(5)};
      }
      return {false, path_ + ": " + describeConfigFileRefusal(error, getProcessPrivileges(paths_))};
    }
    unsigned char bytes[4];
    const ssize_t length = pread(fd_, bytes, sizeof bytes, kClockRegisterOffset);
    if (length < 0) return {false, path_ + ": " + std::strerror(errno)};
    if (length != sizeof bytes) {
      if (showsOnlyTheStandardHeader()) {
        return {false, path_ +
                           ": the kernel shows only its first 64 bytes, not register 0xF0; the "
                           "process lacks CAP_SYS_ADMIN in the machine's initial user namespace "
                           "(container or service sandbox?)"};
      }
      return {false, path_ + ": register 0xF0 reads " + std::to_string(length) + " of 4 bytes"};
    }
    if (getLockdown(paths_) == Lockdown::kLockedDown) {
      return {false, path_ + ": " + describeConfigFileRefusal(EPERM, getProcessPrivileges(paths_))};
    }
    return {true, {}};
  }

  void selectConfigRegister(std::uint32_t address) override { selected_ = address; }

  // Configuration space is little-endian, and the file holds it byte for byte.
  ReadResult readConfigData() override {
    if (!selectedHere()) return {false, kAllOnes, path_ + ": the register selected is another function's"};
    unsigned char bytes[4] = {};
    const ssize_t length = pread(fd_, bytes, sizeof bytes, offset());
    if (length < 0) return {false, kAllOnes, path_ + ": " + std::strerror(errno)};
    if (length != sizeof bytes) {
      return {false, kAllOnes, path_ + ": " + std::to_string(length) + " of 4 bytes read"};
    }
    return {true, bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24,
            {}};
  }

  AccessResult writeConfigData(std::uint32_t value) override {
    if (!selectedHere()) return {false, path_ + ": the register selected is another function's"};
    const unsigned char bytes[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                    static_cast<unsigned char>(value >> 16),
                                    static_cast<unsigned char>(value >> 24)};
    const ssize_t written = pwrite(fd_, bytes, sizeof bytes, offset());
    if (written == sizeof bytes) return {true, {}};
    if (written < 0) {
      const int error = errno;
      return {false, path_ + ": " + describeConfigFileRefusal(error, getProcessPrivileges(paths_))};
    }
    return {false, path_ + ": " + std::to_string(written) + " of 4 bytes written"};
  }

 private:
  bool showsOnlyTheStandardHeader() const {
    unsigned char byte;
    return pread(fd_, &byte, 1, kStandardHeaderLength - 1) == 1 &&
           pread(fd_, &byte, 1, kStandardHeaderLength) == 0;
  }
  bool selectedHere() const { return fd_ >= 0 && (selected_ & kFunctionBits) == function_; }
  off_t offset() const { return static_cast<off_t>(selected_ & 0xFCu); }

  const std::uint32_t function_;
  const std::string name_;
  const std::string path_;
  const KernelConfigPaths paths_;
  int fd_ = -1;
  std::uint32_t selected_ = 0;
};

}  // namespace

bool kernelListsPciFunctions(const KernelConfigPaths& paths) {
  struct stat devices {};
  return stat(paths.devices.c_str(), &devices) == 0 && S_ISDIR(devices.st_mode);
}

std::unique_ptr<ConfigPortAccess> openKernelConfigFile(std::uint32_t address,
                                                       const KernelConfigPaths& paths) {
  return std::make_unique<KernelConfigFile>(address, paths);
}

}  // namespace gma950clock
