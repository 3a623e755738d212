// When the watch runs its next pass. A driver creates its nodes in a burst,
// one per GPU; every pass reads the whole state, so one pass after the burst
// serves them all. Matching events are gathered until none has come for the
// settle time; a stream that never pauses is served once the first of its
// events has waited the longest delay.
#pragma once

#include <chrono>
#include <optional>

// Quiet time that ends a burst. A driver's probe loop creates its nodes
// milliseconds apart, and even a driver binding one GPU after another across
// a second leaves less than this between two nodes of 16 GPUs; yet it adds
// little to the time until the driver is programmed.
inline constexpr std::chrono::milliseconds kSettleTime{100};
// The most a pending pass is put off by events that keep coming.
inline constexpr std::chrono::milliseconds kLongestDelay{2000};

class PassSchedule {
 public:
  using Clock = std::chrono::steady_clock;

  // A matching event was read at `now`.
  void add(Clock::time_point now);
  bool pending() const { return first_.has_value(); }
  // When the pending pass is due.
  Clock::time_point due() const;
  // True when a pass is pending and due at `now`.
  bool isDue(Clock::time_point now) const { return pending() && now >= due(); }
  // The pass starts: it covers every event added so far.
  void clear() { first_.reset(); }

 private:
  std::optional<Clock::time_point> first_;
  Clock::time_point last_;
};
