// p2ptool's read mode over arbitrary memory window contents at the exchange
// offset. Property: an area is taken exactly when its count (high half of
// word 0) is neither 0 (no table written), all ones, nor above kMaxAreaWords
// and the window holds that many words; they are copied unchanged.
#include <optional>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "tool/exchange.h"

namespace {

constexpr const char* kName = "0000:00:05.0";

std::optional<std::vector<unsigned long>> expectedArea(const uint8_t* data, size_t size) {
  if (size < sizeof(uint64_t)) return std::nullopt;
  const uint64_t count = loadWord(data) >> 32;
  if (count == 0 || count == kOfflineCount || count > kMaxAreaWords) return std::nullopt;
  if (count > size / sizeof(uint64_t)) return std::nullopt;
  std::vector<unsigned long> words;
  for (uint64_t i = 0; i < count; ++i) words.push_back(loadWord(data + i * sizeof(uint64_t)));
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ScopedFd window = memoryFile(data, size, kExchangeOffset);
  const auto area = readExchangeArea(window.get(), kName);
  const auto expected = expectedArea(data, size);
  FUZZ_CHECK(area == expected);
  return 0;
}
