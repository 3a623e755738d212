#include "common/util/convert.h"

#include <cinttypes>
#include <cstdio>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "common/device/pci_address.h"

namespace {

constexpr const char* kInvalidHex = "Invalid hexadecimal string";
// "bus:device.function" of a routing address.
constexpr const char* kShortAddressFormat = "%x:%x.%x";

constexpr const char* kTooWide = "PCI address does not fit the packed number";
// Field positions in "dddd:bb:dd.f", counted from the end of the domain.
constexpr size_t kDomainLen = 4;
constexpr size_t kBusPos = 1, kBusLen = 2;
constexpr size_t kDevicePos = 4, kDeviceLen = 2;
constexpr size_t kFunctionPos = 7, kFunctionLen = 1;
constexpr int kDomainShift = 16;

template <typename T>
T parseHex(const std::string& text) {
  std::stringstream stream;
  stream << std::hex << text;
  T value = 0;
  stream >> value;
  if (stream.fail()) throw std::invalid_argument(kInvalidHex);
  return value;
}

template <typename T>
T packBdf(const std::string& bdf) {
  // A PCI address is read by its fields, whatever its domain's width; other
  // text by the positions of a four-digit domain. Cut all fields first: a
  // string too short for them raises std::out_of_range here.
  const size_t end = isPciAddress(bdf) ? bdf.find(':') : kDomainLen;
  std::string domain = bdf.substr(0, end);
  std::string bus = bdf.substr(end + kBusPos, kBusLen);
  std::string device = bdf.substr(end + kDevicePos, kDeviceLen);
  std::string function = bdf.substr(end + kFunctionPos, kFunctionLen);
  // Every field is read before the domain's width is judged: text that is no
  // number is an invalid argument, whatever its domain.
  const T domain_value = parseHex<T>(domain);
  const T low = parseHex<T>(bus) << 8 | parseHex<T>(device) << 5 | parseHex<T>(function);
  if (domain_value > (std::numeric_limits<T>::max() >> kDomainShift))
    throw std::out_of_range(kTooWide);
  return domain_value << kDomainShift | low;
}

}  // namespace

std::string uint64_t_to_string(uint64_t value) {
  std::ostringstream stream;
  stream << std::hex << std::uppercase << value;
  return stream.str();
}

uint64_t string_to_uint64_t(std::string text) { return parseHex<uint64_t>(text); }

uint32_t string_to_uint32_t(std::string text) { return parseHex<uint32_t>(text); }

uint64_t bdf_string_to_uint64_t(std::string bdf) { return packBdf<uint64_t>(bdf); }

uint32_t bdf_string_to_uint32_t(std::string bdf) { return packBdf<uint32_t>(bdf); }

uint32_t get_bdf(std::string address) {
  unsigned int bus = 0, device = 0, function = 0;
  if (sscanf(address.c_str(), kShortAddressFormat, &bus, &device, &function) != 3) return 0;
  return bus << 8 | ((device << 3) & 0xFF) | (function & 0x7);
}

std::vector<std::string> split(std::string text, char delimiter) {
  std::vector<std::string> fields;
  std::istringstream stream(text);
  std::string field;
  while (std::getline(stream, field, delimiter)) fields.push_back(field);
  return fields;
}

bool char_arr_contains(const char* text, const char* part) {
  return std::string(text).find(part) != std::string::npos;
}

std::string hexNumber(uint64_t value, int digits) {
  char text[24];
  snprintf(text, sizeof text, "0x%0*" PRIx64, digits, value);
  return text;
}

bool allDigits(const std::string& text, size_t max_digits) {
  return !text.empty() && text.size() <= max_digits &&
         text.find_first_not_of("0123456789") == std::string::npos;
}
