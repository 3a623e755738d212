#include "tool/discovery.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/device/enumeration.h"
#include "common/device/pci_config.h"
#include "common/device/vfio.h"
#include "common/log/console.h"
#include "common/util/scoped.h"
#include "tool/containers.h"
#include "tool/undone.h"

namespace {

constexpr const char* kConfigFile = "/config";
constexpr off_t kCommandReg = 0x04;
constexpr off_t kBar0Reg = 0x10;
constexpr uint16_t kDecodingBits = 0x0006;  // Memory Space Enable, Bus Master Enable
constexpr uint16_t kPmValue = 0x0008;       // D0 (No_Soft_Reset is the function's own)
constexpr uint8_t kCapIdPciExpress = 0x10;
constexpr unsigned kCapIdMask = 0x7f;
constexpr unsigned kCapVersion2 = 2;
constexpr uint64_t kBarTypeMask = 0x6;  // memory BAR type, bits 2:1
constexpr uint64_t kBarType64 = 0x4;    // 0b10: 64-bit, the next BAR holds the high half
constexpr uint64_t kBarFlagMask = 0xF;  // type, prefetchable and space bits
constexpr uint64_t kAllOnes32 = 0xFFFFFFFF;
constexpr const char* kInUse =
    "\033[31mWARNING:\033[0m GPU %s is in use by a running guest (%s %s): left as it is "
    "(--force writes anyway)\n";
constexpr const char* kInUseForced =
    "\033[31mWARNING:\033[0m GPU %s is in use by a running guest (%s %s): written all the same "
    "(--force)\n";
constexpr const char* kMayBeInUse =
    "\033[31mWARNING:\033[0m GPU %s may be in use by a running guest: its holders cannot be seen "
    "(%s): left as it is (--force writes anyway)\n";
constexpr const char* kMayBeInUseForced =
    "\033[31mWARNING:\033[0m GPU %s may be in use by a running guest: its holders cannot be seen "
    "(%s): written all the same (--force)\n";
constexpr const char* kUnanswered =
    "\033[31mError:\033[0m GPU %s: its configuration space reads all ones or cannot be read; left "
    "as it is\n";
constexpr const char* kWriteFailed =
    "\033[31mError:\033[0m GPU %s: writing its configuration word at 0x%lx failed: %s; left for "
    "the next run\n";

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

// False, after a message, when the write fails: left for the next run.
bool writeLe16(const std::string& bdf, int fd, off_t offset, uint16_t value) {
  const unsigned char bytes[2] = {static_cast<unsigned char>(value & 0xff),
                                  static_cast<unsigned char>(value >> 8)};
  const ssize_t written = ::pwrite(fd, bytes, sizeof bytes, offset);
  if (written == sizeof bytes) return true;
  report(Priority::kError, kWriteFailed, bdf.c_str(), static_cast<long>(offset),
         written < 0 ? strerror(errno) : "short write");
  return false;
}

// Memory decoding and bus mastering on, every other Command bit (INTx
// Disable, SERR# Enable, Parity Error Response...) kept; written only when one
// of the two is off. False when the write failed.
bool enableDecoding(const std::string& bdf, int fd, const ConfigSpace& config) {
  const auto command = config.read(kCommandReg, 2);
  if (!command || (*command & kDecodingBits) == kDecodingBits) return true;
  return writeLe16(bdf, fd, kCommandReg, static_cast<uint16_t>(*command | kDecodingBits));
}

// The Power Management capability's control word to D0, written only when it
// differs; a function without the capability gets no write. No_Soft_Reset is
// read-only: it is compared and written as it reads. False when the write failed.
bool setPowerStateD0(const std::string& bdf, int fd, const ConfigSpace& config) {
  const auto pm = config.findCapability(kCapIdPowerManagement);
  const auto word = pm ? config.read(*pm + kPmControlInCap, 2) : std::nullopt;
  if (!word) return true;
  const uint16_t wanted = (kPmValue & ~kPmNoSoftReset) | (*word & kPmNoSoftReset);
  return *word == wanted || writeLe16(bdf, fd, static_cast<off_t>(*pm + kPmControlInCap), wanted);
}

// BDF -> holders of every found GPU bound to vfio-pci.
std::map<std::string, Holders> heldGpus() {
  std::vector<std::string> bdfs;
  for (const auto& device : gpu_bus_path_set) bdfs.push_back(device.filename().string());
  return gpuHolders(bdfs);
}

// Whether a running guest holds the GPU, or may hold it unseen, and it is to
// be left alone: said once per GPU, also when --force writes anyway.
bool leftToItsGuest(const std::string& bdf, const std::map<std::string, Holders>& held,
                    bool force) {
  const auto holders = held.find(bdf);
  if (holders == held.end()) return false;
  const std::vector<Tenant>& tenants = holders->second.tenants;
  if (!tenants.empty())
    report(Priority::kWarning, force ? kInUseForced : kInUse, bdf.c_str(),
           tenants.size() == 1 ? "process" : "processes", tenantList(tenants).c_str());
  else if (holders->second.unknown())
    report(Priority::kWarning, force ? kMayBeInUseForced : kMayBeInUse, bdf.c_str(),
           holders->second.hidden.c_str());
  else
    return false;
  if (!force) gpu_in_use_set.insert(bdf);
  return !force;
}

// The readers' message, which has no line end of its own, completed by the
// file and the reason on the same line.
void reportUnopenedConfig(const std::filesystem::path& device) {
  const int error = errno;
  report(Priority::kError, "Failed to open config file.");
  report(Priority::kError, " %s%s: %s\n", device.c_str(), kConfigFile, strerror(error));
}

// Decoding and power state of one found GPU (named in gpu_bus_name_set once
// its configuration file opens); false, after a message, when the GPU is left
// as it is or a write failed.
bool prepareGpu(const std::filesystem::path& device, const std::map<std::string, Holders>& held,
                bool force) {
  ScopedFd fd = openConfig(device, O_RDWR);
  if (!fd.valid()) {
    const int error = errno;
    report(Priority::kError, "Failed to open config file.\n");
    reportReason(Priority::kError, device.string() + kConfigFile, error);
    return false;
  }
  const std::string bdf = device.filename().string();
  gpu_bus_name_set.insert(bdf);
  const std::optional<ConfigSpace> config = readConfigSpace(fd.get());
  if (!config || !config->answers()) {
    report(Priority::kError, kUnanswered, bdf.c_str());
    return false;
  }
  if (leftToItsGuest(bdf, held, force)) return false;
  const bool decoding = enableDecoding(bdf, fd.get(), *config);
  const bool power = setPowerStateD0(bdf, fd.get(), *config);
  return decoding && power;
}

bool isAcceptedPortType(unsigned type) { return type == 0 || type == 4 || type == 5 || type == 6; }

}  // namespace

void initPCIeDevice(bool force) {
  std::vector<std::string> left_out;  // each after a message of its own
  gpu_bus_path_set = GetAllDevicePath(&left_out);
  if (!left_out.empty()) leaveUndone();
  const auto held = heldGpus();
  for (const auto& device : gpu_bus_path_set)
    if (!prepareGpu(device, held, force)) leaveUndone();
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
