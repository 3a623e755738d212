#include <gtest/gtest.h>

#include <string>

#include "tool/report/render.h"

namespace {

bool has(const std::string& text, const std::string& line) {
  return text.find("\n" + line + "\n") != std::string::npos;
}

// The role series say the report's role, and neither when it rests on nothing.
TEST(ReportMetricsTest, TheRoleIsTheReportsAndNoneWithoutEvidence) {
  Status status;
  status.role.basis = Basis::kNothing;
  std::string metrics = statusMetrics(status);
  EXPECT_TRUE(has(metrics, "p2ptool_role{role=\"host\"} 0")) << metrics;
  EXPECT_TRUE(has(metrics, "p2ptool_role{role=\"guest\"} 0")) << metrics;
  status.role = givenRole(Role::kGuest);
  metrics = statusMetrics(status);
  EXPECT_TRUE(has(metrics, "p2ptool_role{role=\"host\"} 0")) << metrics;
  EXPECT_TRUE(has(metrics, "p2ptool_role{role=\"guest\"} 1")) << metrics;
}

}  // namespace
