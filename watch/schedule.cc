#include "watch/schedule.h"

#include <algorithm>

void PassSchedule::add(Clock::time_point now) {
  if (!first_) first_ = now;
  last_ = now;
}

PassSchedule::Clock::time_point PassSchedule::due() const {
  return std::min(last_ + kSettleTime, *first_ + kLongestDelay);
}
