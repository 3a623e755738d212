#include "tool/window_table.h"

#include <gtest/gtest.h>

#include "tool/exchange.h"

namespace {

// -w writes one word and a pair per GPU, for 1 to kMaxGroupSize GPUs.
TEST(WindowTableTest, ACountIsWellFormedFromOneGpuToAFullArea) {
  const uint64_t full = 1 + 2 * kMaxGroupSize;
  const std::pair<uint64_t, TableShape> cases[] = {
      {0, TableShape::kNone},
      {1, TableShape::kMalformed},
      {2, TableShape::kMalformed},
      {3, TableShape::kWellFormed},
      {4, TableShape::kMalformed},
      {full, TableShape::kWellFormed},
      {full + 2, TableShape::kMalformed},
      {kOfflineCount, TableShape::kMalformed},
  };
  for (const auto& [count, shape] : cases) EXPECT_EQ(tableShape(count), shape) << count;
}

}  // namespace
