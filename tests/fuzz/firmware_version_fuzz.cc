// checkFwVersion over arbitrary text. Property: it agrees with a model of the
// rule that compares decimal texts instead of integers: the version is cut at
// every non-digit into numbers (empty ones are 0) and is accepted when that
// list is at most 1, 0, 9 in lexicographic order.
#include <string>
#include <vector>

#include "common/device/firmware.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const std::vector<std::string> kThreshold = {"1", "0", "9"};

// Decimal digits without leading zeros; "0" for none.
std::string canonical(const std::string& digits) {
  const size_t first = digits.find_first_not_of('0');
  return first == std::string::npos ? "0" : digits.substr(first);
}

// Compares canonical decimal texts by value: -1, 0 or 1.
int compareNumbers(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

bool expectedAtMostThreshold(const std::string& version) {
  std::vector<std::string> numbers(1);
  for (char c : version) {
    if (c >= '0' && c <= '9')
      numbers.back() += c;
    else
      numbers.emplace_back();
  }
  for (size_t i = 0; i < numbers.size() && i < kThreshold.size(); ++i) {
    const int order = compareNumbers(canonical(numbers[i]), kThreshold[i]);
    if (order != 0) return order < 0;
  }
  return numbers.size() <= kThreshold.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string version(reinterpret_cast<const char*>(data), size);
  FUZZ_CHECK(checkFwVersion(version) == expectedAtMostThreshold(version));
  return 0;
}
