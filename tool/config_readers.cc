#include "tool/config_readers.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "common/device/pci_config.h"
#include "common/log/console.h"
#include "common/util/scoped.h"

namespace {

constexpr const char* kConfigFile = "/config";
constexpr off_t kBar0Reg = 0x10;
constexpr uint8_t kCapIdPciExpress = 0x10;
constexpr unsigned kCapIdMask = 0x7f;
constexpr unsigned kCapVersion2 = 2;
constexpr uint64_t kBarTypeMask = 0x6;  // memory BAR type, bits 2:1
constexpr uint64_t kBarType64 = 0x4;    // 0b10: 64-bit, the next BAR holds the high half
constexpr uint64_t kBarFlagMask = 0xF;  // type, prefetchable and space bits
constexpr uint64_t kAllOnes32 = 0xFFFFFFFF;

ScopedFd openConfig(const std::filesystem::path& device, int flags) {
  return ScopedFd(::open((device.string() + kConfigFile).c_str(), flags));
}

// Little-endian reads of the configuration file; bytes past its end read as 0.
uint64_t readLe(int fd, off_t offset, int width) {
  unsigned char bytes[8] = {};
  if (::pread(fd, bytes, width, offset) < 0) return 0;
  uint64_t value = 0;
  for (int i = width - 1; i >= 0; --i) value = value << 8 | bytes[i];
  return value;
}

// The readers' message, which has no line end of its own, completed by the
// file and the reason on the same line.
void reportUnopenedConfig(const std::filesystem::path& device) {
  const int error = errno;
  report(Priority::kError, "Failed to open config file.");
  report(Priority::kError, " %s%s: %s\n", device.c_str(), kConfigFile, strerror(error));
}

bool isAcceptedPortType(unsigned type) { return type == 0 || type == 4 || type == 5 || type == 6; }

}  // namespace

unsigned long get_base0_addr(std::filesystem::path device) {
  ScopedFd fd = openConfig(device, O_RDONLY);
  if (!fd.valid()) {
    reportUnopenedConfig(device);
    return kUnreadableBar0;
  }
  return decodeBar0(static_cast<uint32_t>(readLe(fd.get(), kBar0Reg, 4)),
                    static_cast<uint32_t>(readLe(fd.get(), kBar0Reg + 4, 4)));
}

unsigned long decodeBar0(uint32_t bar0, uint32_t bar1) {
  if (bar0 == kAllOnes32) return kUnreadableBar0;  // the function does not answer
  if ((bar0 & kBarTypeMask) != kBarType64) return bar0 & ~kBarFlagMask;
  return (uint64_t{bar1} << 32 | bar0) & ~kBarFlagMask;
}

bool isAssignedBar0(unsigned long bar0) {
  return bar0 != 0 && bar0 != kUnreadableBar0 && bar0 != (kUnreadableBar0 & ~kBarFlagMask);
}

int get_cap_base_addr(std::filesystem::path device) {
  ScopedFd fd = openConfig(device, O_RDONLY);
  if (!fd.valid()) {
    reportUnopenedConfig(device);
    return -1;
  }
  const std::optional<ConfigSpace> config = readConfigSpace(fd.get());
  for (size_t cap : config ? config->capabilities() : std::vector<size_t>{}) {
    const unsigned id = config->read(cap, 1).value_or(0) & kCapIdMask;
    const unsigned flags = config->read(cap + 2, 2).value_or(0);
    if (id == kCapIdPciExpress && (flags & 0xf) == kCapVersion2 &&
        isAcceptedPortType((flags >> 4) & 0xf))
      return static_cast<int>(cap);
  }
  return 0;
}
