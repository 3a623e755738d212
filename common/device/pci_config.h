// Reading a function's configuration space straight from its sysfs `config`
// file, without starting a process and without writing: little-endian
// registers, the standard and the extended capability lists and the ACS
// Control register.
//
// An unprivileged reader sees only the first 64 bytes of `config`; reads past
// what the file holds give nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The whole configuration space of a PCI Express function, as sysfs gives it to root.
inline constexpr size_t kConfigSpaceSize = 4096;

inline constexpr uint8_t kCapIdPowerManagement = 0x01;
// Power Management Control/Status register (16 bits), from the start of the
// Power Management capability; its No_Soft_Reset bit is read-only.
inline constexpr size_t kPmControlInCap = 4;
inline constexpr uint16_t kPmNoSoftReset = 0x0008;

inline constexpr uint16_t kExtCapIdAcs = 0x000d;
// ACS Capability register (16 bits) and ACS Control register (16 bits), from
// the start of the ACS extended capability.
inline constexpr size_t kAcsCapabilityInCap = 4;
inline constexpr size_t kAcsControlInCap = 6;
// The ACS Control bits that send peer requests and completions up to the root
// complex instead of across the switch: P2P Request Redirect, P2P Completion
// Redirect and P2P Egress Control, what Linux's pci=disable_acs_redir= clears.
// Source Validation, Translation Blocking and Upstream Forwarding stay as they are.
inline constexpr uint16_t kAcsRedirectMask = 0x0004 | 0x0008 | 0x0020;

// Device Serial Number extended capability: after its header, the function's
// 64-bit serial number.
inline constexpr uint16_t kExtCapIdSerialNumber = 0x0003;
inline constexpr size_t kSerialNumberInCap = 4;
inline constexpr size_t kSerialNumberSize = 8;

// The ACS Control word as lspci -vvv names its bits: "SrcValid+ TransBlk- ...".
std::string decodeAcsControl(uint16_t control);

// What a port's configuration space tells about its ACS capability.
enum class AcsPresence {
  kPresent,  // an ACS extended capability
  kAbsent,   // the whole space is read and the function answers, but lists none
  kUnknown,  // the function does not answer, or only its first 256 bytes can be read
};

class ConfigSpace {
 public:
  explicit ConfigSpace(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}

  size_t size() const { return bytes_.size(); }
  // Little-endian value of `width` (1, 2, 4 or 8) bytes; nothing past the end.
  std::optional<uint64_t> read(size_t offset, size_t width) const;
  // False when the vendor ID cannot be read or reads all ones (gone).
  bool answers() const;
  // Offsets of the standard capabilities, in list order from the Capabilities
  // Pointer: pointers lose their two low bits, one below 0x40 (0 included)
  // ends the list, and so do an ID of 0xFF, an entry past the bytes read and
  // an entry seen before; at most 48 entries.
  std::vector<size_t> capabilities() const;
  // Offset of the first standard capability with this ID, or nothing.
  std::optional<size_t> findCapability(uint8_t id) const;
  // Offset of the first extended capability with this ID (list from 0x100),
  // or nothing. The walk is bounded and stops at a malformed next pointer.
  std::optional<size_t> findExtendedCapability(uint16_t id) const;
  // ACS Control of a port with an ACS extended capability, or nothing.
  std::optional<uint16_t> acsControl() const;
  AcsPresence acsPresence() const;

 private:
  std::vector<uint8_t> bytes_;
};

// The `config` file of a function directory (a sysfs device path, or
// "/sys/bus/pci/devices/" + BDF); nothing when it cannot be opened or read.
std::optional<ConfigSpace> readConfigSpace(const std::string& function_dir);
// The same from a `config` file already open for reading.
std::optional<ConfigSpace> readConfigSpace(int fd);

// ACS Control of the port with this BDF string, read from sysfs; nothing when
// its configuration space cannot be read or it has no ACS capability.
std::optional<uint16_t> readAcsControl(const std::string& bdf);
