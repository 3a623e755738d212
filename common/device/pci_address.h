// PCI addresses as sysfs names them ("dddd:bb:dd.f", the domain four or more
// hexadecimal digits), parsed by their fields. Only text that passes
// parsePciAddress is ever placed in a command line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct PciAddress {
  uint32_t domain = 0;
  uint8_t bus = 0;
  uint8_t device = 0;    // 0..0x1f
  uint8_t function = 0;  // 0..7
};

// The fields of a PCI address: a domain of 4 to 8 hexadecimal digits, then
// ":" two digits ":" two digits (at most 1f) "." one digit (at most 7).
// Nothing for any other text, including blanks around it.
std::optional<PciAddress> parsePciAddress(const std::string& text);

inline bool isPciAddress(const std::string& text) { return parsePciAddress(text).has_value(); }

// Packed BDF number: domain << 16 | bus << 8 | device << 5 | function.
uint64_t packedBdf(const PciAddress& address);

// The packed BDF number when it fits the 32 bits of an exchange area's self
// field (domains up to ffff); nothing otherwise.
std::optional<uint32_t> packedBdf32(const PciAddress& address);

// The PCI address text ("dddd:bb:dd.f", lower case) a packed BDF number stands
// for, for messages. The packing lets device bits 3 and 4 overlap the bus's
// low bits, so the number is read as a device below 8 (as every GPU a guest
// or a switch port places at device 0): a device of 8 or more comes back as
// another bus and device.
std::string pciAddressOfPacked(uint64_t packed);
