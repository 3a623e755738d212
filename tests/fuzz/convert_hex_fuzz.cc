// Hexadecimal conversions over arbitrary text. Properties: both parsers agree
// with an independent model of the extraction and fail only with
// std::invalid_argument("Invalid hexadecimal string"); the text that
// uint64_t_to_string writes reads back as the same number.
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/util/convert.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/reference_hex.h"

namespace {

template <typename T, typename Parse>
std::optional<T> parseOrNothing(Parse parse, const std::string& text) {
  try {
    return parse(text);
  } catch (const std::invalid_argument& e) {
    FUZZ_CHECK(strcmp(e.what(), "Invalid hexadecimal string") == 0);
    return std::nullopt;
  }
}

bool isCanonicalHex(const std::string& text) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

void checkRoundTrip(uint64_t value) {
  const std::string text = uint64_t_to_string(value);
  FUZZ_CHECK(isCanonicalHex(text));
  FUZZ_CHECK(string_to_uint64_t(text) == value);
  const auto narrow = parseOrNothing<uint32_t>(string_to_uint32_t, text);
  if (value <= UINT32_MAX)
    FUZZ_CHECK(narrow == static_cast<uint32_t>(value));
  else
    FUZZ_CHECK(!narrow);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(parseOrNothing<uint64_t>(string_to_uint64_t, text) ==
             reference::parseHex<uint64_t>(text));
  FUZZ_CHECK(parseOrNothing<uint32_t>(string_to_uint32_t, text) ==
             reference::parseHex<uint32_t>(text));
  if (size >= sizeof(uint64_t)) {
    checkRoundTrip(loadWord(data));
    checkRoundTrip(loadWord(data) & UINT32_MAX);
  }
  return 0;
}
