// BDF packing over arbitrary text. Properties: a string too short for its
// fields raises std::out_of_range; otherwise the fields (after a PCI
// address's domain, else at the positions of a four-digit domain) either all
// read as hexadecimal, giving domain << 16 | bus << 8 | device << 5 |
// function (std::out_of_range when the domain does not fit), or
// std::invalid_argument is raised. get_bdf gives
// the standard routing number of a well-formed bus:device.function.
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/device/pci_address.h"
#include "common/util/convert.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/reference_hex.h"

namespace {

enum class Outcome { Value, OutOfRange, InvalidArgument };

template <typename T>
struct Packed {
  Outcome outcome;
  T value;
  bool operator==(const Packed& other) const {
    return outcome == other.outcome && (outcome != Outcome::Value || value == other.value);
  }
};

template <typename T, typename Pack>
Packed<T> pack(Pack packer, const std::string& bdf) {
  try {
    return {Outcome::Value, packer(bdf)};
  } catch (const std::out_of_range&) {
    return {Outcome::OutOfRange, 0};
  } catch (const std::invalid_argument&) {
    return {Outcome::InvalidArgument, 0};
  }
}

template <typename T>
Packed<T> expectedPack(const std::string& bdf) {
  // A PCI address ends its domain at its first ':'; other text after four characters.
  const size_t end = isPciAddress(bdf) ? bdf.find(':') : 4;
  if (bdf.size() < end + 7) return {Outcome::OutOfRange, 0};
  const auto domain = reference::parseHex<T>(bdf.substr(0, end));
  const auto bus = reference::parseHex<T>(bdf.substr(end + 1, 2));
  const auto device = reference::parseHex<T>(bdf.substr(end + 4, 2));
  const auto function = reference::parseHex<T>(bdf.substr(end + 7, 1));
  if (!domain || !bus || !device || !function) return {Outcome::InvalidArgument, 0};
  if (*domain > (static_cast<T>(~T{0}) >> 16)) return {Outcome::OutOfRange, 0};
  return {Outcome::Value, static_cast<T>(*domain << 16 | *bus << 8 | *device << 5 | *function)};
}

// A well-formed BDF string and short address made of three input bytes.
void checkWellFormed(const uint8_t* data) {
  const unsigned bus = data[0], device = data[1] & 0x1F, function = data[2] & 0x7;
  char text[16];
  snprintf(text, sizeof text, "%02x:%02x.%x", bus, device, function);
  FUZZ_CHECK(get_bdf(text) == (bus << 8 | device << 3 | function));
  snprintf(text, sizeof text, "%04x:%02x:%02x.%x", data[0] * 7u, bus, device, function);
  FUZZ_CHECK(bdf_string_to_uint64_t(text) ==
             (uint64_t{data[0] * 7u} << 16 | bus << 8 | device << 5 | function));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK((pack<uint64_t>(bdf_string_to_uint64_t, text) == expectedPack<uint64_t>(text)));
  FUZZ_CHECK((pack<uint32_t>(bdf_string_to_uint32_t, text) == expectedPack<uint32_t>(text)));
  get_bdf(text);  // any text: no crash
  if (size >= 3) checkWellFormed(data);
  return 0;
}
