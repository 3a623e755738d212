#include "watch/schedule.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using namespace std::chrono_literals;
using Clock = PassSchedule::Clock;

constexpr Clock::time_point kStart{1h};
constexpr auto kTick = 1ns;

TEST(PassScheduleTest, ABurstIsServedOneSettleTimeAfterItsLastEvent) {
  EXPECT_EQ(kSettleTime, 100ms);
  PassSchedule schedule;
  EXPECT_FALSE(schedule.isDue(kStart + 1h));  // nothing pending
  schedule.add(kStart);
  schedule.add(kStart + 60ms);
  EXPECT_FALSE(schedule.isDue(kStart + 60ms + kSettleTime - kTick));
  EXPECT_TRUE(schedule.isDue(kStart + 60ms + kSettleTime));
  schedule.clear();  // the pass covers both; the next event starts afresh
  EXPECT_FALSE(schedule.isDue(kStart + 1h));
  schedule.add(kStart + 1h);
  EXPECT_EQ(schedule.due() - (kStart + 1h), kSettleTime);
}

TEST(PassScheduleTest, AStreamThatNeverPausesIsServedTheLongestDelayAfterItsFirstEvent) {
  EXPECT_EQ(kLongestDelay, 2s);
  PassSchedule schedule;
  for (auto at = kStart; at < kStart + kLongestDelay; at += kSettleTime - kTick) {
    schedule.add(at);
    EXPECT_FALSE(schedule.isDue(at)) << (at - kStart).count();
  }
  EXPECT_FALSE(schedule.isDue(kStart + kLongestDelay - kTick));
  EXPECT_TRUE(schedule.isDue(kStart + kLongestDelay));
  EXPECT_EQ(schedule.due() - kStart, kLongestDelay);
}

}  // namespace
