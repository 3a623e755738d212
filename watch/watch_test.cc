#include "watch/watch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Appends one inotify record with its name padded as the kernel pads it.
void appendEvent(std::vector<char>& buffer, unsigned mask, const std::string& name) {
  const size_t name_len = name.empty() ? 0 : (name.size() / 16 + 1) * 16;
  std::vector<char> record(sizeof(inotify_event) + name_len, 0);
  auto* event = reinterpret_cast<inotify_event*>(record.data());
  event->wd = 1;
  event->mask = mask;
  event->len = static_cast<uint32_t>(name_len);
  memcpy(record.data() + sizeof(inotify_event), name.data(), name.size());
  buffer.insert(buffer.end(), record.begin(), record.end());
}

TEST(WatchEventsTest, OnlyCreationsOfDriverNodesAndOverflowsTriggerAPass) {
  std::vector<char> buffer;
  appendEvent(buffer, IN_CREATE, "tamberon0");
  appendEvent(buffer, IN_DELETE, "tamberon0");
  appendEvent(buffer, IN_CREATE, "ttyS0");
  appendEvent(buffer, IN_CREATE | IN_ISDIR, "tamberon-ctl-with-a-long-name");
  appendEvent(buffer, IN_CREATE, "");
  appendEvent(buffer, IN_Q_OVERFLOW, "");  // the queue lost events, maybe a node

  std::vector<std::string> seen;
  std::vector<std::string> passes;
  forEachEvent(buffer.data(), buffer.size(), [&](const inotify_event& event) {
    seen.push_back(event.len ? event.name : "");
    if (triggersPass(event)) passes.push_back(event.len ? event.name : "");
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"tamberon0", "tamberon0", "ttyS0",
                                            "tamberon-ctl-with-a-long-name", "", ""}));
  EXPECT_EQ(passes, (std::vector<std::string>{"tamberon0", "tamberon-ctl-with-a-long-name", ""}));
}

TEST(WatchEventsTest, AnIncompleteTrailingRecordIsNotRead) {
  std::vector<char> buffer;
  appendEvent(buffer, IN_CREATE, "tamberon0");
  int calls = 0;
  const auto count = [&](const inotify_event&) { ++calls; };
  forEachEvent(buffer.data(), sizeof(inotify_event) - 1, count);
  forEachEvent(buffer.data(), buffer.size() - 1, count);  // header complete, name cut
  EXPECT_EQ(calls, 0);
  forEachEvent(buffer.data(), buffer.size(), count);
  EXPECT_EQ(calls, 1);
}

TEST(WatchStatusTest, NoGpuIsCountedInThePlural) {
  const std::string summary = passSummary({0, 0}, {});
  EXPECT_EQ(summary.substr(summary.find(": ")), ": 0 GPUs programmed, 0 failed");
}

}  // namespace
