#include "common/util/capture.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(Capture, StatusStreamsTimeoutAndLimit) {
  const struct {
    std::vector<std::string> argv;
    int timeout_ms;
    size_t limit;
    int status;
    std::string out, err;
    bool timed_out, cut;
  } rows[] = {
      {{"echo", "a b"}, 60000, 100, 0, "a b\n", "", false, false},
      {{"sh", "-c", "echo e >&2; exit 3"}, 60000, 100, 3, "", "e\n", false, false},
      {{"no-such-program-p2p"},
       60000,
       100,
       127,
       "",
       "no-such-program-p2p: No such file or directory\n",
       false,
       false},
      {{"sleep", "60"}, 100, 100, 128 + 9, "", "", true, false},
      {{"yes"}, 60000, 100, 128 + 9, std::string(50, 'y'), "", false, true},
      {{}, 60000, 100, -1, "", "", false, false},
  };
  for (const auto& row : rows) {
    const Captured got = runCaptured(row.argv, row.timeout_ms, row.limit);
    const std::string name = row.argv.empty() ? "nothing" : row.argv[0];
    EXPECT_EQ(got.status, row.status) << name;
    EXPECT_EQ(got.timed_out, row.timed_out) << name;
    EXPECT_EQ(got.cut, row.cut) << name;
    EXPECT_EQ(got.err, row.err) << name;
    std::string out = got.out;
    if (row.cut) out.erase(std::remove(out.begin(), out.end(), '\n'), out.end());
    EXPECT_EQ(out, row.out) << name;
  }
}

}  // namespace
