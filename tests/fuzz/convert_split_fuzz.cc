// split over arbitrary text; the first byte is the delimiter. Property: no
// field holds the delimiter, and joining the fields with it gives the text
// back, less one trailing delimiter; an empty text gives no field.
#include <string>
#include <vector>

#include "common/util/convert.h"
#include "tests/fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char delimiter = static_cast<char>(data[0]);
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::vector<std::string> fields = split(text, delimiter);
  std::string joined;
  for (size_t i = 0; i < fields.size(); ++i) {
    FUZZ_CHECK(fields[i].find(delimiter) == std::string::npos);
    if (i > 0) joined += delimiter;
    joined += fields[i];
  }
  const bool trailing = !text.empty() && text.back() == delimiter;
  FUZZ_CHECK(joined + (trailing ? std::string(1, delimiter) : std::string()) == text);
  FUZZ_CHECK(fields.empty() == text.empty());
  return 0;
}
