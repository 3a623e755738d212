// Reading a function's configuration space straight from its sysfs `config`
// file, without starting a process and without writing: little-endian
// registers, the extended capability list and the ACS Control register.
//
// An unprivileged reader sees only the first 64 bytes of `config`; reads past
// what the file holds give nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

inline constexpr uint16_t kExtCapIdAcs = 0x000d;
// ACS Capability register (16 bits) and ACS Control register (16 bits), from
// the start of the ACS extended capability.
inline constexpr size_t kAcsCapabilityInCap = 4;
inline constexpr size_t kAcsControlInCap = 6;

class ConfigSpace {
 public:
  explicit ConfigSpace(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  size_t size() const { return bytes_.size(); }
  // Little-endian value of `width` (1, 2, 4 or 8) bytes; nothing past the end.
  std::optional<uint64_t> read(size_t offset, size_t width) const;
  // Offset of the first extended capability with this ID (list from 0x100),
  // or nothing. The walk is bounded and stops at a malformed next pointer.
  std::optional<size_t> findExtendedCapability(uint16_t id) const;
  // ACS Control of a port with an ACS extended capability, or nothing.
  std::optional<uint16_t> acsControl() const;

 private:
  std::vector<uint8_t> bytes_;
};

// The `config` file of a function directory (a sysfs device path, or
// "/sys/bus/pci/devices/" + BDF); nothing when it cannot be opened or read.
std::optional<ConfigSpace> readConfigSpace(const std::string& function_dir);

// ACS Control of the port with this BDF string, read from sysfs; nothing when
// its configuration space cannot be read or it has no ACS capability.
std::optional<uint16_t> readAcsControl(const std::string& bdf);
