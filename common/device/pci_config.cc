#include "common/device/pci_config.h"

#include <fcntl.h>
#include <unistd.h>

#include "common/device/enumeration.h"
#include "common/util/scoped.h"

namespace {

constexpr const char* kConfigFile = "/config";
constexpr size_t kConfigSpaceSize = 4096;
constexpr size_t kExtCapStart = 0x100;
// Every extended capability takes at least one dword of the 3840 bytes above 0x100.
constexpr int kMaxExtCapSteps = (kConfigSpaceSize - kExtCapStart) / 4;

}  // namespace

std::optional<uint64_t> ConfigSpace::read(size_t offset, size_t width) const {
  if (width == 0 || width > 8 || offset + width > bytes_.size()) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = value << 8 | bytes_[offset + i];
  return value;
}

std::optional<size_t> ConfigSpace::findExtendedCapability(uint16_t id) const {
  size_t offset = kExtCapStart;
  for (int step = 0; step < kMaxExtCapSteps; ++step) {
    const auto header = read(offset, 4);
    if (!header || *header == 0 || *header == 0xFFFFFFFF) return std::nullopt;
    if ((*header & 0xFFFF) == id) return offset;
    const size_t next = (*header >> 20) & 0xFFC;
    if (next < kExtCapStart) return std::nullopt;
    offset = next;
  }
  return std::nullopt;
}

std::optional<uint16_t> ConfigSpace::acsControl() const {
  const auto acs = findExtendedCapability(kExtCapIdAcs);
  if (!acs) return std::nullopt;
  const auto control = read(*acs + kAcsControlInCap, 2);
  if (!control) return std::nullopt;
  return static_cast<uint16_t>(*control);
}

std::optional<ConfigSpace> readConfigSpace(const std::string& function_dir) {
  ScopedFd fd(::open((function_dir + kConfigFile).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::vector<uint8_t> bytes(kConfigSpaceSize);
  size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t n =
        ::pread(fd.get(), bytes.data() + filled, bytes.size() - filled, static_cast<off_t>(filled));
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    filled += static_cast<size_t>(n);
  }
  bytes.resize(filled);
  return ConfigSpace(std::move(bytes));
}

std::optional<uint16_t> readAcsControl(const std::string& bdf) {
  const auto config = readConfigSpace(kSysPciDevices + bdf);
  if (!config) return std::nullopt;
  return config->acsControl();
}
