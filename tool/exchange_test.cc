#include "tool/exchange.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "common/util/scoped.h"

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

TEST(ExchangeAreaTest, TableMembersLeaveOutWhatNoTableCanCarry) {
  const std::string error = "\033[31mError:\033[0m GPU";
  const struct {
    BarMap group;
    std::optional<BarMap> members;
    std::string message;
  } cases[] = {
      {{{"0000:3b:00.0", kBarA}, {"0000:3c:00.0", kBarB}},
       {{{"0000:3b:00.0", kBarA}, {"0000:3c:00.0", kBarB}}},
       ""},
      {{{"0000:3b:00.0", 0}, {"0000:3c:00.0", kBarB}},
       {{{"0000:3c:00.0", kBarB}}},
       error + " 0000:3b:00.0: BAR0 reads 0, not an assigned address; left out of every table\n"},
      {{{"0000:3b:00.0", ~0UL}, {"10000:3c:00.0", kBarB}},
       {{}},
       error +
           " 0000:3b:00.0: BAR0 reads ffffffffffffffff, not an assigned address; left out of "
           "every table\n" +
           error +
           " 10000:3c:00.0: its PCI address does not fit the 32-bit self field; left out "
           "of every table\n"},
      // Device 8 on bus 3c packs like device 0 on bus 3d.
      {{{"0000:3c:08.0", kBarA}, {"0000:3d:00.0", kBarB}},
       std::nullopt,
       "\033[31mError:\033[0m GPUs 0000:3c:08.0 and 0000:3d:00.0 of group 0000:3b:00.0 both pack "
       "to 3d00; nothing written for the group\n"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(tableMembers("0000:3b:00.0", c.group), c.members) << c.group.begin()->first;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
  }
}

// Why each member gets no table: its own reason first, else the first
// collision, which need not be the first GPU left out.
TEST(ExchangeAreaTest, AMemberGetsNoTableForItsOwnReasonElseTheFirstCollision) {
  // 3c:08.0 packs like 3d:00.0, 3e:08.0 like 3f:00.0.
  const TablePlan plan = planGroupTable({{"0000:3b:00.0", 0},
                                         {"0000:3c:08.0", kBarA},
                                         {"0000:3d:00.0", kBarB},
                                         {"0000:3e:08.0", kBarA + 1},
                                         {"0000:3f:00.0", kBarB + 1},
                                         {"0000:40:00.0", kBarB + 2}});
  EXPECT_EQ(plan.whyNoTable("0000:3b:00.0")->reason, LeftOutReason::kUnassignedBar0);
  EXPECT_EQ(plan.whyNoTable("0000:3f:00.0")->other, "0000:3e:08.0");
  EXPECT_EQ(plan.whyNoTable("0000:40:00.0")->bdf, "0000:3d:00.0");
  EXPECT_EQ(planGroupTable({{"0000:3b:00.0", kBarA}}).whyNoTable("0000:3b:00.0"), nullptr);
  BarMap large;
  for (unsigned i = 0; i <= kMaxGroupSize; ++i)
    large["0000:" + std::to_string(10 + i) + ":00.0"] = kBarA;
  EXPECT_TRUE(planGroupTable(large).too_large);
  large.erase(large.begin());
  EXPECT_FALSE(planGroupTable(large).too_large);
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

// A memory window whose exchange area holds `words` (an in-memory file).
ScopedFd windowWith(const std::vector<unsigned long>& words) {
  ScopedFd fd(memfd_create("resource0", 0));
  EXPECT_TRUE(fd.valid());
  const size_t size = words.size() * sizeof(unsigned long);
  EXPECT_EQ(ftruncate(fd.get(), kExchangeOffset + size), 0);
  EXPECT_EQ(pwrite(fd.get(), words.data(), size, kExchangeOffset), static_cast<ssize_t>(size));
  return fd;
}

TEST(ExchangeAreaTest, TheWordCountDecidesWhetherAnAreaIsRead) {
  std::vector<unsigned long> full(32, kBarA);
  full[0] = 0x0000002000003B00;
  std::vector<unsigned long> too_long(33, kBarA);
  too_long[0] = 0x0000002100003B00;
  const struct {
    std::vector<unsigned long> window;
    std::optional<std::vector<unsigned long>> area;
    std::string message;
  } cases[] = {
      {{0x0000000300003B20, 0x3B20, kBarA, kBarB}, {{0x0000000300003B20, 0x3B20, kBarA}}, ""},
      {{0x0000000000003B00},
       std::nullopt,
       "\033[31mError:\033[0m The window of card 0000:00:05.0 holds no exchange table (word "
       "count 0): run `p2ptool -w` on the host first; its peer file is left as it is\n"},
      {full, full, ""},
      {too_long, std::nullopt,
       "\033[31mError:\033[0m The resource0 of card 0000:00:05.0 is abnormal and skiping this "
       "card ...\n"},
      {{0xFFFFFFFFFFFFFFFF},
       std::nullopt,
       "\033[31mOffline:\033[0m Failed to open card 0000:00:05.0\n"},
      {{0x0000000500003B00, 0x3B00},
       std::nullopt,
       "Map device memmory failed!\nGPU 0000:00:05.0: Invalid argument\n"},
  };
  for (const auto& c : cases) {
    ScopedFd window = windowWith(c.window);
    testing::internal::CaptureStdout();
    EXPECT_EQ(readExchangeArea(window.get(), "0000:00:05.0"), c.area) << std::hex << c.window[0];
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
  }
}

}  // namespace
