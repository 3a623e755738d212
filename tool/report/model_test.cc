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

// A pair is judged past its group only in one group; an unknown fact never
// makes it OK, nor hides a reason that it does not work.
TEST(ReportModelTest, APairIsOkOnlyWithEveryFactKnownAndGood) {
  MeetingPort redirecting, unread, clear;
  redirecting.status.state = clear.status.state = PortState::kAcs;
  redirecting.status.acs_control = 0x0004;  // ReqRedir
  clear.status.acs_control = 0x0011;
  const struct {
    const char* name;
    Grouping grouping;
    std::vector<MeetingPort> ports;
    bool tables_unknown;
    Verdict verdict;
    size_t reasons;
  } rows[] = {
      {"ok", Grouping::kOneGroup, {clear, clear}, false, Verdict::kReady, 0},
      {"apart", Grouping::kApart, {redirecting, unread}, false, Verdict::kNotReady, 1},
      {"group unknown", Grouping::kUnknown, {clear}, false, Verdict::kUnknown, 1},
      {"port unread", Grouping::kOneGroup, {clear, unread}, false, Verdict::kUnknown, 1},
      {"table unread", Grouping::kOneGroup, {clear, clear}, true, Verdict::kUnknown, 1},
      {"redirects, port unread",
       Grouping::kOneGroup,
       {redirecting, unread},
       false,
       Verdict::kNotReady,
       2},
  };
  for (const auto& row : rows) {
    PairStatus pair;
    pair.grouping = row.grouping;
    pair.ports = row.ports;
    pair.tables_unknown = row.tables_unknown;
    EXPECT_EQ(pair.verdict(), row.verdict) << row.name;
    EXPECT_EQ(pair.reasons().size(), row.reasons) << row.name;
    EXPECT_EQ(pair.ok(), row.verdict == Verdict::kReady) << row.name;
  }
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
