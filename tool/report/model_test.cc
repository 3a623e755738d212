#include "tool/report/model.h"

#include <gtest/gtest.h>

namespace {

// Below a root port a GPU is in no group whatever its board: an unknown board
// leaves only a GPU that the board would place unknown.
TEST(ReportModelTest, AnUnknownBoardMakesOnlyAGpuItWouldPlaceUnknown) {
  HostGpu gpu;
  gpu.below_root_port = true;
  EXPECT_EQ(gpu.verdict(), Verdict::kReady);
  gpu.below_root_port = false;
  EXPECT_EQ(gpu.verdict(), Verdict::kUnknown);
}

// A view whose role rests on no evidence is unknown at best.
TEST(ReportModelTest, ARoleOnNoEvidenceMakesAReadyViewUnknown) {
  Status status;
  status.host.emplace();
  status.role.basis = Basis::kNothing;
  EXPECT_EQ(status.verdict(), Verdict::kUnknown);
  status.role = givenRole(Role::kHost);
  EXPECT_EQ(status.verdict(), Verdict::kReady);
}

}  // namespace
