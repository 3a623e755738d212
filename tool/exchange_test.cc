#include "tool/exchange.h"

#include <gtest/gtest.h>

namespace {

constexpr unsigned long kBarA = 0x38000000000;
constexpr unsigned long kBarB = 0x39000000000;

TEST(ExchangeAreaTest, EveryMemberGetsTheSamePairsAndItsOwnSelfWord) {
  const BarMap group = {{"0000:3c:00.0", kBarB}, {"0000:3b:00.0", kBarA}};
  const std::vector<unsigned long> pairs = {0x3B00, kBarA, 0x3C00, kBarB};

  std::vector<unsigned long> first = {0x0000000500003B00};
  first.insert(first.end(), pairs.begin(), pairs.end());
  EXPECT_EQ(buildExchangeArea("0000:3b:00.0", group), first);

  std::vector<unsigned long> second = {0x0000000500003C00};
  second.insert(second.end(), pairs.begin(), pairs.end());
  EXPECT_EQ(buildExchangeArea("0000:3c:00.0", group), second);
}

TEST(ExchangeAreaTest, AGroupOfOneGivesThreeWords) {
  const BarMap group = {{"0000:3b:01.0", kBarA}};
  const std::vector<unsigned long> expected = {0x0000000300003B20, 0x3B20, kBarA};
  EXPECT_EQ(buildExchangeArea("0000:3b:01.0", group), expected);
  EXPECT_EQ(areaWordCount(expected[0]), 3u);
}

TEST(ExchangeAreaTest, TheLargestGroupFillsTheMappedSpan) {
  BarMap group;
  for (int i = 0; i < static_cast<int>(kMaxGroupSize); ++i) {
    char bdf[16];
    snprintf(bdf, sizeof bdf, "0000:%02x:00.0", 0x10 + i);
    group[bdf] = kBarA + i;
  }
  const auto area = buildExchangeArea(group.begin()->first, group);
  EXPECT_EQ(area.size(), 31u);
  EXPECT_LE(area.size() * sizeof(unsigned long), 256u);
}

TEST(ExchangeAreaTest, FindsADevicePathByItsLastComponent) {
  const std::set<std::filesystem::path> devices = {
      "/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0",
      "/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0/0000:02:00.0",
  };
  EXPECT_EQ(
      findDevicePath(devices, "0000:02:00.0"),
      std::filesystem::path("/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0/0000:02:00.0"));
  EXPECT_EQ(findDevicePath(devices, "0000:01:00.0"),
            std::filesystem::path("/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0"));
  EXPECT_FALSE(findDevicePath(devices, "0000:03:00.0"));
}

}  // namespace
