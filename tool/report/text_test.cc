#include <gtest/gtest.h>

#include "tool/report/render.h"

namespace {

// The summary first; a role that rests on no evidence is a problem of its own.
TEST(ReportTextTest, TheRoleAndTheVerdictComeFirst) {
  Status status;
  status.role.reason = "/proc/cpuinfo: missing";
  const std::vector<ReportLine> lines = statusLines(status);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text,
            "Role: host (no GPU tells; the CPU's flags cannot be read (/proc/cpuinfo: missing): "
            "taken for a host)");
  EXPECT_EQ(lines[0].priority, Priority::kWarning);
  EXPECT_EQ(lines[1].text, "Status: not ready");
  status.role = givenRole(Role::kGuest);
  EXPECT_EQ(statusLines(status)[0].priority, Priority::kInfo);
}

}  // namespace
