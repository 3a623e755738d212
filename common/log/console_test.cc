#include "common/log/console.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/util/scoped.h"

namespace {

constexpr char kRed[] = "\033[31mError:\033[0m no \033[4m0000:3c:08.0\033[0m\n";
constexpr char kPlain[] = "Error: no 0000:3c:08.0\n";

TEST(ConsoleTest, EachStreamGetsTheTextItWants) {
  const StreamStyle terminal{false, true}, no_color{false, false}, journal{true, false};
  const struct {
    const char* text;
    Priority priority;
    StreamStyle style;
    bool at_start;
    const char* want;
    bool at_start_after;
  } cases[] = {
      {kRed, Priority::kError, terminal, true, kRed, true},  // unchanged, state untouched
      {kRed, Priority::kError, no_color, true, kPlain, true},
      {kRed, Priority::kError, journal, true, "<3>Error: no 0000:3c:08.0\n", true},
      {"a\nb\n", Priority::kInfo, journal, true, "<6>a\n<6>b\n", true},
      {"Failed.", Priority::kWarning, journal, true, "<4>Failed.", false},
      {" the rest\n", Priority::kWarning, journal, false, " the rest\n", true},  // same line
      {"\033[1;31mx\033[K\n", Priority::kInfo, no_color, true, "x\n", true},
      {"cut \033[3", Priority::kInfo, no_color, true, "cut ", true},  // sequence cut short
  };
  for (const auto& c : cases) {
    bool at_start = c.at_start;
    EXPECT_EQ(styledText(c.text, c.priority, c.style, at_start), c.want) << c.text;
    EXPECT_EQ(at_start, c.at_start_after) << c.text;
  }
}

TEST(ConsoleTest, OnlyTheStreamJournalStreamNamesIsTheJournal) {
  ScopedFile file(tmpfile());  // any file stands in for the journal's socket
  ASSERT_TRUE(file);
  const int fd = fileno(file.get());
  struct stat st {};
  ASSERT_EQ(fstat(fd, &st), 0);
  const std::string same = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  const std::string other_inode = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + 1);
  EXPECT_TRUE(streamStyle(fd, same.c_str(), nullptr).journal);
  EXPECT_FALSE(streamStyle(fd, same.c_str(), nullptr).color);
  EXPECT_FALSE(streamStyle(fd, other_inode.c_str(), nullptr).journal);
  EXPECT_FALSE(streamStyle(fd, (same + "x").c_str(), nullptr).journal);
  EXPECT_FALSE(streamStyle(fd, nullptr, nullptr).journal);
  EXPECT_TRUE(streamStyle(fd, nullptr, nullptr).color);
  EXPECT_FALSE(streamStyle(fd, nullptr, "").color);  // set, even empty
  EXPECT_FALSE(streamStyle(fd, nullptr, nullptr, "dumb").color);
  EXPECT_TRUE(streamStyle(fd, nullptr, nullptr, "dumber").color);
}

// Held messages reach no stream; the inner holder takes what comes while it
// lives, the outer one what comes before and after; replayed, they come out.
TEST(ConsoleTest, HeldMessagesAreTakenByTheLatestHolderAndReplayedAsPrinted) {
  testing::internal::CaptureStdout();
  std::vector<HeldMessage> outer_taken, inner_taken;
  {
    HeldMessages outer;
    report(Priority::kWarning, "first %d\n", 1);
    {
      HeldMessages inner;
      reportTo(stderr, Priority::kError, "inner\n");
      inner_taken = inner.take();
    }
    report(Priority::kInfo, "last\n");
    outer_taken = outer.take();
    report(Priority::kInfo, "dropped\n");
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_EQ(inner_taken.size(), 1u);
  EXPECT_EQ(inner_taken[0].stream, stderr);
  ASSERT_EQ(outer_taken.size(), 2u);
  EXPECT_EQ(outer_taken[0].priority, Priority::kWarning);
  testing::internal::CaptureStdout();
  replayMessages(outer_taken);
  replayMessages(inner_taken, stdout);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "first 1\nlast\ninner\n");
}

}  // namespace
