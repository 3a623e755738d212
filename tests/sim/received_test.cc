#include "tests/sim/received.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>

#include "tests/sim/presets.h"
#include "tests/sim/tempdir.h"

namespace sim {
namespace {

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class ReceivedTest : public ::testing::Test {
 protected:
  // A guest given 0000:3d:00.0 and 0000:3e:00.0 of the four GPUs below one switch.
  void SetUp() override {
    buildQuadHostPreset(host_);
    buildGuestPreset(guest_, host_, {"0000:3d:00.0", "0000:3e:00.0"});
    guest_.bindDriver("0000:00:05.0", "0", false);
    guest_.bindDriver("0000:00:06.0", "1", false);
  }
  std::string line(const char* minor, const std::string& host_gpu) const {
    std::ostringstream out;
    out << "pt_p2p_cfg " << minor << " " << std::uppercase << std::hex << host_.bar0(host_gpu)
        << "\n";
    return out.str();
  }
  TempDir dir_, guest_dir_, logs_;
  Fabric host_{dir_.path()};
  Fabric guest_{guest_dir_.path()};
};

TEST_F(ReceivedTest, EachDriverIsCheckedAgainstItsGroupInThisGuest) {
  const std::string both = line("0", "0000:3d:00.0") + line("1", "0000:3e:00.0");
  logs_.write("itr-0000:00:05.0.log", both);
  logs_.write("itr-0000:00:06.0.log", both);
  const ReceivedReport report = explainReceived(guest_, host_, logs_.path(), 1);
  EXPECT_TRUE(report.right) << report.text;
  EXPECT_TRUE(has(report.text,
                  "  0000:00:05.0 (host 0000:3d:00.0, minor 0): 2 lines, its group in this guest "
                  "(minors 0, 1) at their host BAR0; not in this guest: "
                  "0000:3f:00.0, 0000:40:00.0:\n      pt_p2p_cfg 0 43D0000000   peer minor 0 = "
                  "0000:00:05.0 (host 0000:3d:00.0), the right host BAR0\n"))
      << report.text;
  EXPECT_TRUE(has(report.text,
                  "0000:3f:00.0, 0000:40:00.0\n  in all: 4 lines to 2 drivers, 0 "
                  "malformed, 0 wrong; 2 of 2 drivers got exactly"))
      << report.text;
}

TEST_F(ReceivedTest, MalformedWrongMissingAndRepeatedLinesAreCounted) {
  const struct {
    const char* log;     // what 0000:00:06.0 received
    const char* learnt;  // the minors it learnt
    const char* counts;  // malformed, wrong
  } rows[] = {
      {"pt_p2p_cfg 41C0000000\n", "none", "1 malformed, 0 wrong"},  // no minor
      {"pt_p2p_cfg 0 43D0000000 1\n", "none", "1 malformed, 0 wrong"},
      {"pt_p2p_cfg x 43D0000000\n", "none", "1 malformed, 0 wrong"},
      {"pt_p2p_cfg 0 43d0000000\n", "none", "1 malformed, 0 wrong"},
      {"pt_p2p_cfg 0 143D0000000000000\n", "none", "1 malformed, 0 wrong"},  // 17 digits
      {"pt_p2p_cfg 0 43E0000000\npt_p2p_cfg 1 43E0000000\n", "1", "0 malformed, 1 wrong"},
      {"pt_p2p_cfg 7 43D0000000\n", "none", "0 malformed, 1 wrong"},
      {"pt_p2p_cfg 0 43D0000000\npt_p2p_cfg 0 43D0000000\npt_p2p_cfg 1 43E0000000\n", "0, 1",
       "0 malformed, 1 wrong"},  // a peer told twice
      {"pt_p2p_cfg 0 43D0000000\n", "0", "0 malformed, 0 wrong"},
  };
  logs_.write("itr-0000:00:05.0.log", line("0", "0000:3d:00.0") + line("1", "0000:3e:00.0"));
  for (const auto& row : rows) {
    logs_.write("itr-0000:00:06.0.log", row.log);
    const ReceivedReport report = explainReceived(guest_, host_, logs_.path(), 0);
    EXPECT_FALSE(report.right) << row.log;
    const std::string lines = std::to_string(std::count(row.log, row.log + strlen(row.log), '\n'));
    EXPECT_TRUE(has(report.text, "(host 0000:3e:00.0, minor 1): " + lines +
                                     " lines, WRONG: peer minors learnt " + row.learnt +
                                     ", its group in this guest 0, 1, " + row.counts))
        << row.log << report.text;
    EXPECT_TRUE(has(report.text, "1 of 2 drivers got exactly")) << report.text;
  }
}

}  // namespace
}  // namespace sim
