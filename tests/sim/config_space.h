// Configuration-space images of simulated PCI functions: the header, a
// standard capability list (Power Management, MSI, PCI Express version 2) and
// an extended list (Advanced Error Reporting, then ACS on ports, then a
// Device Serial Number on functions given one), all
// little-endian as the hardware presents them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim {

constexpr size_t kConfigSize = 4096;
constexpr uint16_t kDefaultAcsControl = 0x001d;

// Register offsets used by the simulation and its tests.
constexpr size_t kCommandOffset = 0x04;
constexpr size_t kStatusOffset = 0x06;
constexpr size_t kHeaderTypeOffset = 0x0E;
constexpr size_t kBar0Offset = 0x10;
constexpr size_t kPrimaryBusOffset = 0x18;
constexpr size_t kSecondaryBusOffset = 0x19;
constexpr size_t kSubordinateBusOffset = 0x1A;
constexpr size_t kCapPointerOffset = 0x34;
constexpr size_t kExtCapStart = 0x100;
constexpr size_t kAcsControlInCap = 6;

constexpr uint8_t kCapIdPm = 0x01;
constexpr uint8_t kCapIdMsi = 0x05;
constexpr uint8_t kCapIdVendor = 0x09;
constexpr uint8_t kCapIdPcie = 0x10;
constexpr uint16_t kExtCapIdAer = 0x0001;
constexpr uint16_t kExtCapIdAcs = 0x000d;
constexpr uint16_t kExtCapIdSerialNumber = 0x0003;

// PCI Express device/port type (bits 7..4 of the PCI Express Capabilities register).
enum class PortType : uint8_t { kEndpoint = 0, kRootPort = 4, kUpstream = 5, kDownstream = 6 };

// Value of the PCI Express Capabilities register for a version and device/port type.
constexpr uint16_t pcieCapsWord(uint8_t version, uint8_t type) {
  return static_cast<uint16_t>(version | type << 4);
}

struct FunctionLayout {
  uint16_t vendor = 0;
  uint16_t device = 0;
  uint32_t class_code = 0;  // base class << 16 | subclass << 8 | programming interface
  bool bridge = false;      // header type 1
  PortType type = PortType::kEndpoint;
  uint16_t command = 0;
  uint16_t pm_control = 0;  // Power Management Control/Status (the first capability's + 4)
  uint64_t bar0 = 0;        // written as a 64-bit prefetchable memory BAR when not 0
  bool bar0_32bit = false;  // BAR0 as a 32-bit memory BAR instead, BAR1 holding bar1
  uint32_t bar1 = 0;
  bool acs = false;
  uint16_t acs_control = kDefaultAcsControl;
  uint64_t serial = 0;  // a Device Serial Number capability, last, when not 0
};

// One entry of a hand-made standard capability list (see layCapabilityList).
struct CapEntry {
  uint8_t id;
  uint16_t word2;  // at +2; for PCI Express: version | type << 4
  uint16_t word4;  // at +4
};

std::vector<uint8_t> buildConfig(const FunctionLayout& layout);

// Replaces the standard capability list: 0x34 -> 0x40, entries 0x10 apart,
// the rest of 0x40..0xFF cleared.
void layCapabilityList(std::vector<uint8_t>& config, const std::vector<CapEntry>& caps);

// Offset of the first standard capability with this ID, or -1.
int findCapability(const std::vector<uint8_t>& config, uint8_t id);
// Offset of the first extended capability with this ID, or -1.
int findExtCapability(const std::vector<uint8_t>& config, uint16_t id);
// Device/port type of the PCI Express capability, or -1 without one.
int pcieType(const std::vector<uint8_t>& config);

uint64_t getLe(const std::vector<uint8_t>& bytes, size_t offset, size_t width);
void putLe(std::vector<uint8_t>& bytes, size_t offset, size_t width, uint64_t value);

}  // namespace sim
