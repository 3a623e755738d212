#include "common/device/pci_config.h"

#include <fcntl.h>
#include <unistd.h>

#include <iterator>

#include "common/device/enumeration.h"
#include "common/util/scoped.h"

namespace {

constexpr const char* kConfigFile = "/config";
constexpr size_t kExtCapStart = 0x100;
constexpr size_t kVendorOffset = 0x00;
constexpr uint64_t kNoVendor = 0xFFFF;
constexpr size_t kCapPointer = 0x34;
constexpr size_t kCapListStart = 0x40;  // the header ends here
constexpr size_t kCapPointerMask = 0xFC;
constexpr uint8_t kCapIdNone = 0xFF;  // a function that stopped answering
// A 256-byte space holds at most 48 capabilities of a dword or more above 0x40.
constexpr size_t kMaxCaps = (kExtCapStart - kCapListStart) / 4;
// Every extended capability takes at least one dword of the 3840 bytes above 0x100.
constexpr int kMaxExtCapSteps = (kConfigSpaceSize - kExtCapStart) / 4;

}  // namespace

std::optional<uint64_t> ConfigSpace::read(size_t offset, size_t width) const {
  if (width == 0 || width > 8 || offset + width > bytes_.size()) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = value << 8 | bytes_[offset + i];
  return value;
}

bool ConfigSpace::answers() const {
  const auto vendor = read(kVendorOffset, 2);
  return vendor && *vendor != kNoVendor;
}

std::vector<size_t> ConfigSpace::capabilities() const {
  std::vector<size_t> offsets;
  std::vector<bool> seen(kExtCapStart, false);
  auto pointer = read(kCapPointer, 1);
  while (pointer && offsets.size() < kMaxCaps) {
    const size_t at = *pointer & kCapPointerMask;
    const auto id = read(at, 1);
    if (at < kCapListStart || seen[at] || !id || *id == kCapIdNone) break;
    seen[at] = true;
    offsets.push_back(at);
    pointer = read(at + 1, 1);
  }
  return offsets;
}

std::optional<size_t> ConfigSpace::findCapability(uint8_t id) const {
  for (size_t at : capabilities())
    if (read(at, 1) == id) return at;
  return std::nullopt;
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

AcsPresence ConfigSpace::acsPresence() const {
  if (acsControl()) return AcsPresence::kPresent;
  return answers() && size() > kExtCapStart ? AcsPresence::kAbsent : AcsPresence::kUnknown;
}

std::optional<ConfigSpace> readConfigSpace(const std::string& function_dir) {
  ScopedFd fd(::open((function_dir + kConfigFile).c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  return readConfigSpace(fd.get());
}

std::optional<ConfigSpace> readConfigSpace(int fd) {
  std::vector<uint8_t> bytes(kConfigSpaceSize);
  size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t n =
        ::pread(fd, bytes.data() + filled, bytes.size() - filled, static_cast<off_t>(filled));
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

std::string decodeAcsControl(uint16_t control) {
  static const char* const kBitNames[] = {"SrcValid",    "TransBlk",   "ReqRedir",   "CmpltRedir",
                                          "UpstreamFwd", "EgressCtrl", "DirectTrans"};
  std::string text;
  for (size_t bit = 0; bit < std::size(kBitNames); ++bit) {
    if (!text.empty()) text += ' ';
    text += kBitNames[bit];
    text += (control >> bit) & 1 ? '+' : '-';
  }
  return text;
}
