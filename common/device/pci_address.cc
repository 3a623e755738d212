#include "common/device/pci_address.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>

namespace {

constexpr size_t kMinDomainDigits = 4;
constexpr size_t kMaxDomainDigits = 8;
// ":bb:dd.f" after the domain.
constexpr size_t kTailLength = 8;
constexpr unsigned kMaxDevice = 0x1f;
constexpr unsigned kMaxFunction = 7;

bool allHex(const std::string& text, size_t pos, size_t count) {
  for (size_t i = pos; i < pos + count; ++i)
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

unsigned long hexField(const std::string& text, size_t pos, size_t count) {
  return std::stoul(text.substr(pos, count), nullptr, 16);
}

}  // namespace

std::optional<PciAddress> parsePciAddress(const std::string& text) {
  if (text.size() < kMinDomainDigits + kTailLength) return std::nullopt;
  const size_t domain_digits = text.size() - kTailLength;
  if (domain_digits > kMaxDomainDigits) return std::nullopt;
  const size_t bus = domain_digits + 1, device = bus + 3, function = device + 3;
  if (text[domain_digits] != ':' || text[device - 1] != ':' || text[function - 1] != '.')
    return std::nullopt;
  if (!allHex(text, 0, domain_digits) || !allHex(text, bus, 2) || !allHex(text, device, 2) ||
      !allHex(text, function, 1))
    return std::nullopt;
  PciAddress address;
  address.domain = static_cast<uint32_t>(hexField(text, 0, domain_digits));
  address.bus = static_cast<uint8_t>(hexField(text, bus, 2));
  const unsigned long dev = hexField(text, device, 2), fn = hexField(text, function, 1);
  if (dev > kMaxDevice || fn > kMaxFunction) return std::nullopt;
  address.device = static_cast<uint8_t>(dev);
  address.function = static_cast<uint8_t>(fn);
  return address;
}

uint64_t packedBdf(const PciAddress& address) {
  return static_cast<uint64_t>(address.domain) << 16 | static_cast<uint64_t>(address.bus) << 8 |
         static_cast<uint64_t>(address.device) << 5 | address.function;
}

std::optional<uint32_t> packedBdf32(const PciAddress& address) {
  const uint64_t packed = packedBdf(address);
  if (packed > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(packed);
}

std::string pciAddressOfPacked(uint64_t packed) {
  char text[32];
  snprintf(text, sizeof text, "%04" PRIx64 ":%02x:%02x.%x", packed >> 16,
           static_cast<unsigned>(packed >> 8 & 0xff), static_cast<unsigned>(packed >> 5 & 0x7),
           static_cast<unsigned>(packed & 0x7));
  return text;
}
