#include "tests/sim/config_space.h"

#include <stdexcept>

namespace sim {
namespace {

// Where this simulation puts its capabilities.
constexpr size_t kPmCap = 0x40;
constexpr size_t kMsiCap = 0x50;
constexpr size_t kPcieCap = 0x70;
constexpr size_t kAerExt = 0x100;
constexpr size_t kAcsExt = 0x148;
constexpr size_t kSerialExt = 0x160;
constexpr size_t kCapListStart = 0x40;
constexpr size_t kCapListEnd = 0x100;
constexpr size_t kCapStride = 0x10;

constexpr size_t kRevisionOffset = 0x08;
constexpr size_t kClassOffset = 0x09;
constexpr size_t kSubsystemOffset = 0x2C;
constexpr size_t kInterruptPinOffset = 0x3D;
constexpr size_t kIoBaseOffset = 0x1C;
constexpr size_t kMemoryBaseOffset = 0x20;
constexpr size_t kPrefetchBaseOffset = 0x24;

constexpr uint16_t kStatusCapList = 0x0010;
constexpr uint64_t kBarFlags64Prefetch = 0xC;
constexpr uint64_t kBarAddressMask32 = 0xFFFFFFF0;
constexpr size_t kBar1Offset = 0x14;
constexpr uint64_t kBarAddressMask = ~0xFULL;
constexpr uint16_t kPmCapabilities = 0x0003;  // PM version 3
constexpr uint16_t kMsiControl64 = 0x0080;    // 64-bit message address
constexpr uint16_t kPcieSlotImplemented = 0x0100;
constexpr uint32_t kDevCap = 0x00008002;       // role-based errors, 512-byte payload
constexpr uint32_t kLinkCap = 0x00000104;      // 16 GT/s, x16
constexpr uint16_t kLinkStatus = 0x0104;       // 16 GT/s, x16
constexpr uint32_t kLinkCap2 = 0x0000001E;     // 2.5 to 16 GT/s supported
constexpr uint16_t kAcsCapabilities = 0x001f;  // SV, TB, RR, CR, UF
constexpr uint8_t kPcieVersion = 2;
constexpr uint8_t kAerVersion = 2;
constexpr uint8_t kAcsVersion = 1;
constexpr uint8_t kSerialVersion = 1;
constexpr int kMaxCapSteps = 48;
constexpr int kMaxExtCapSteps = 480;

uint32_t extHeader(uint16_t id, uint8_t version, size_t next) {
  return static_cast<uint32_t>(id) | static_cast<uint32_t>(version) << 16 |
         static_cast<uint32_t>(next) << 20;
}

void putHeader(std::vector<uint8_t>& c, const FunctionLayout& layout) {
  putLe(c, 0x00, 2, layout.vendor);
  putLe(c, 0x02, 2, layout.device);
  putLe(c, kCommandOffset, 2, layout.command);
  putLe(c, kStatusOffset, 2, kStatusCapList);
  putLe(c, kRevisionOffset, 1, 0x01);
  putLe(c, kClassOffset, 3, layout.class_code);
  putLe(c, kHeaderTypeOffset, 1, layout.bridge ? 1 : 0);
  putLe(c, kCapPointerOffset, 1, kPmCap);
  putLe(c, kInterruptPinOffset, 1, 1);
}

void putEndpointHeader(std::vector<uint8_t>& c, const FunctionLayout& layout) {
  if (layout.bar0_32bit) {
    putLe(c, kBar0Offset, 4, layout.bar0 & kBarAddressMask32);
    putLe(c, kBar1Offset, 4, layout.bar1);
  } else if (layout.bar0 != 0) {
    putLe(c, kBar0Offset, 8, (layout.bar0 & kBarAddressMask) | kBarFlags64Prefetch);
  }
  putLe(c, kSubsystemOffset, 2, layout.vendor);
  putLe(c, kSubsystemOffset + 2, 2, layout.device);
}

// Bus numbers are filled in later, when the functions below are known. The
// windows read "disabled" (base above limit).
void putBridgeHeader(std::vector<uint8_t>& c) {
  putLe(c, kIoBaseOffset, 2, 0x00F0);
  putLe(c, kMemoryBaseOffset, 4, 0x0000FFF0);
  putLe(c, kPrefetchBaseOffset, 4, 0x0001FFF1);
}

void putStandardCaps(std::vector<uint8_t>& c, const FunctionLayout& layout) {
  putLe(c, kPmCap, 1, kCapIdPm);
  putLe(c, kPmCap + 1, 1, kMsiCap);
  putLe(c, kPmCap + 2, 2, kPmCapabilities);
  putLe(c, kPmCap + 4, 2, layout.pm_control);

  putLe(c, kMsiCap, 1, kCapIdMsi);
  putLe(c, kMsiCap + 1, 1, kPcieCap);
  putLe(c, kMsiCap + 2, 2, kMsiControl64);

  bool slot = layout.type == PortType::kRootPort || layout.type == PortType::kDownstream;
  putLe(c, kPcieCap, 1, kCapIdPcie);
  putLe(c, kPcieCap + 1, 1, 0);
  putLe(c, kPcieCap + 2, 2,
        pcieCapsWord(kPcieVersion, static_cast<uint8_t>(layout.type)) |
            (slot ? kPcieSlotImplemented : 0));
  putLe(c, kPcieCap + 0x04, 4, kDevCap);
  putLe(c, kPcieCap + 0x0C, 4, kLinkCap);
  putLe(c, kPcieCap + 0x12, 2, kLinkStatus);
  putLe(c, kPcieCap + 0x2C, 4, kLinkCap2);
}

void putExtendedCaps(std::vector<uint8_t>& c, const FunctionLayout& layout) {
  const size_t serial = layout.serial ? kSerialExt : 0;
  putLe(c, kAerExt, 4, extHeader(kExtCapIdAer, kAerVersion, layout.acs ? kAcsExt : serial));
  if (layout.acs) {
    putLe(c, kAcsExt, 4, extHeader(kExtCapIdAcs, kAcsVersion, serial));
    putLe(c, kAcsExt + 4, 2, kAcsCapabilities);
    putLe(c, kAcsExt + kAcsControlInCap, 2, layout.acs_control);
  }
  if (!serial) return;
  putLe(c, kSerialExt, 4, extHeader(kExtCapIdSerialNumber, kSerialVersion, 0));
  putLe(c, kSerialExt + 4, 8, layout.serial);
}

void checkRange(const std::vector<uint8_t>& bytes, size_t offset, size_t width) {
  if (width == 0 || width > 8 || offset > bytes.size() || bytes.size() - offset < width)
    throw std::out_of_range("config access out of range");
}

}  // namespace

std::vector<uint8_t> buildConfig(const FunctionLayout& layout) {
  std::vector<uint8_t> config(kConfigSize, 0);
  putHeader(config, layout);
  if (layout.bridge)
    putBridgeHeader(config);
  else
    putEndpointHeader(config, layout);
  putStandardCaps(config, layout);
  putExtendedCaps(config, layout);
  return config;
}

void layCapabilityList(std::vector<uint8_t>& config, const std::vector<CapEntry>& caps) {
  if (kCapListStart + caps.size() * kCapStride > kCapListEnd)
    throw std::invalid_argument("too many capabilities");
  for (size_t at = kCapListStart; at < kCapListEnd; ++at) config[at] = 0;
  putLe(config, kCapPointerOffset, 1, caps.empty() ? 0 : kCapListStart);
  for (size_t i = 0; i < caps.size(); ++i) {
    size_t at = kCapListStart + i * kCapStride;
    size_t next = i + 1 < caps.size() ? at + kCapStride : 0;
    putLe(config, at, 1, caps[i].id);
    putLe(config, at + 1, 1, next);
    putLe(config, at + 2, 2, caps[i].word2);
    putLe(config, at + 4, 2, caps[i].word4);
  }
}

int findCapability(const std::vector<uint8_t>& config, uint8_t id) {
  size_t at = getLe(config, kCapPointerOffset, 1) & ~size_t{3};
  for (int step = 0; at != 0 && step < kMaxCapSteps; ++step) {
    if (config[at] == id) return static_cast<int>(at);
    at = config[at + 1] & ~size_t{3};
  }
  return -1;
}

int findExtCapability(const std::vector<uint8_t>& config, uint16_t id) {
  size_t at = kExtCapStart;
  for (int step = 0; at >= kExtCapStart && step < kMaxExtCapSteps; ++step) {
    uint32_t header = static_cast<uint32_t>(getLe(config, at, 4));
    if (header == 0 || header == 0xFFFFFFFF) return -1;
    if ((header & 0xFFFF) == id) return static_cast<int>(at);
    at = (header >> 20) & 0xFFC;
  }
  return -1;
}

int pcieType(const std::vector<uint8_t>& config) {
  int at = findCapability(config, kCapIdPcie);
  if (at < 0) return -1;
  return static_cast<int>((getLe(config, static_cast<size_t>(at) + 2, 2) >> 4) & 0xF);
}

uint64_t getLe(const std::vector<uint8_t>& bytes, size_t offset, size_t width) {
  checkRange(bytes, offset, width);
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = value << 8 | bytes[offset + i];
  return value;
}

void putLe(std::vector<uint8_t>& bytes, size_t offset, size_t width, uint64_t value) {
  checkRange(bytes, offset, width);
  for (size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace sim
