#include "watch/command.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>

#include "tests/sim/tempdir.h"

namespace {

using std::chrono::milliseconds;

TEST(BoundedCommandTest, OutcomeFollowsTheShellsStatusAndTheTimeLimit) {
  const struct {
    const char* command;
    CommandOutcome outcome;
  } cases[] = {
      {"true", CommandOutcome::kSucceeded},
      {"exit 3", CommandOutcome::kFailed},
      {"echo x > /nonexistent/dir/file", CommandOutcome::kFailed},
      {"sleep 10", CommandOutcome::kTimedOut},
  };
  for (const auto& c : cases) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(runBounded(c.command, milliseconds(300)), c.outcome) << c.command;
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(2000)) << c.command;
  }
}

TEST(BoundedCommandTest, NothingAShellStartedOutlivesIt) {
  const struct {
    const char* wait;  // after starting a background sleep
    CommandOutcome outcome;
  } cases[] = {
      {"; wait", CommandOutcome::kTimedOut},  // overruns: killed with its group
      {"", CommandOutcome::kSucceeded},       // ends at once, its child left behind
  };
  for (const auto& c : cases) {
    const sim::TempDir dir("p2p-cmd");
    const std::string pid_file = dir / "pid";
    EXPECT_EQ(runBounded("sleep 30 & echo $! > " + pid_file + c.wait, milliseconds(300)),
              c.outcome);
    const pid_t background = std::stoi(sim::readFile(pid_file));
    // Killed: gone, or a zombie until init reaps it.
    const auto dead = [&](const std::string& stat) {
      return stat.empty() || stat.find(") Z ") != std::string::npos;
    };
    std::string stat;
    for (int i = 0;
         i < 100 && !dead(stat = sim::readFile("/proc/" + std::to_string(background) + "/stat"));
         ++i)
      usleep(10000);
    EXPECT_TRUE(dead(stat)) << "the shell's child outlived it: " << c.wait << " " << stat;
  }
}

}  // namespace
