#include "tool/discovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/device/enumeration.h"
#include "common/log/console.h"
#include "common/util/scoped.h"
#include "tool/containers.h"

namespace {

constexpr const char* kConfigFile = "/config";
constexpr off_t kCommandReg = 0x04;
constexpr off_t kBar0Reg = 0x10;
constexpr off_t kCapPointer = 0x34;
constexpr off_t kFirstCapControl = 4;        // word 4 bytes into the first capability
constexpr uint16_t kCommandValue = 0x0006;   // memory space + bus master, nothing else
constexpr uint16_t kFirstCapValue = 0x0008;  // D0, No_Soft_Reset
constexpr uint8_t kCapIdPciExpress = 0x10;
constexpr unsigned kCapVersion2 = 2;
constexpr int kMaxCapSteps = 48;        // a 256-byte space holds at most 48 capabilities
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

bool writeLe16(int fd, off_t offset, uint16_t value) {
  const unsigned char bytes[2] = {static_cast<unsigned char>(value & 0xff),
                                  static_cast<unsigned char>(value >> 8)};
  return ::pwrite(fd, bytes, sizeof bytes, offset) == sizeof bytes;
}

// Writes the word only when it differs; a failed write is left for the next run.
void forceWord(int fd, off_t offset, uint16_t wanted) {
  if (readLe(fd, offset, 2) != wanted) writeLe16(fd, offset, wanted);
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

void initPCIeDevice() {
  gpu_bus_path_set = GetAllDevicePath();
  for (const auto& device : gpu_bus_path_set) {
    ScopedFd fd = openConfig(device, O_RDWR);
    if (!fd.valid()) {
      const int error = errno;
      report(Priority::kError, "Failed to open config file.\n");
      reportReason(Priority::kError, device.string() + kConfigFile, error);
      continue;
    }
    gpu_bus_name_set.insert(device.filename().string());
    forceWord(fd.get(), kCommandReg, kCommandValue);
    const off_t first_cap = static_cast<off_t>(readLe(fd.get(), kCapPointer, 1));
    forceWord(fd.get(), first_cap + kFirstCapControl, kFirstCapValue);
  }
}

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
  off_t cap = static_cast<off_t>(readLe(fd.get(), kCapPointer, 1));
  for (int step = 0; cap != 0 && step < kMaxCapSteps; ++step) {
    const unsigned id = readLe(fd.get(), cap, 2) & 0x7f;
    const unsigned flags = readLe(fd.get(), cap + 2, 2);
    if (id == kCapIdPciExpress && (flags & 0xf) == kCapVersion2 &&
        isAcceptedPortType((flags >> 4) & 0xf))
      return static_cast<int>(cap);
    cap = static_cast<off_t>(readLe(fd.get(), cap + 1, 1));
  }
  return 0;
}
