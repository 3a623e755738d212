#include "common/device/board_topology.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/util/test_boxed_run.h"
#include "tests/sim/fabric.h"

namespace {

// Root bus 3a: a switch with a GPU below each of two downstream ports, and a
// dual-chip board below a third; a second root port leads to another switch.
// Root bus 17: one switch, one GPU. Root buses 00 and 80: shallow functions.
class BoardTopologyTest : public testing::Test {
 protected:
  BoardTopologyTest() {
    fabric_.addRootPort("0000:3a:00.0", "pci0000:3a");
    fabric_.addSwitch("0000:3a:00.0", "0000:3b:00.0",
                      {"0000:3c:08.0", "0000:3c:10.0", "0000:3c:18.0"});
    fabric_.addGpu("0000:3d:00.0", "0000:3c:08.0");
    fabric_.addGpu("0000:3e:00.0", "0000:3c:10.0");
    fabric_.addDualChipBoard("0000:3c:18.0", "0000:3f:00.0", {"0000:40:00.0", "0000:40:01.0"},
                             {"0000:41:00.0", "0000:42:00.0"});
    fabric_.addRootPort("0000:3a:02.0", "pci0000:3a");
    fabric_.addSwitch("0000:3a:02.0", "0000:50:00.0", {"0000:51:00.0"});
    fabric_.addGpu("0000:52:00.0", "0000:51:00.0");
    fabric_.addRootPort("0000:17:00.0", "pci0000:17");
    fabric_.addSwitch("0000:17:00.0", "0000:18:00.0", {"0000:19:00.0"});
    fabric_.addGpu("0000:1a:00.0", "0000:19:00.0");
    fabric_.addGpuBelowRootPort("pci0000:00", "0000:00:01.0", "0000:01:00.0");
    fabric_.addGpuBelowRootPort("pci0000:80", "0000:80:01.0", "0000:81:00.0");
    fabric_.addGpu("0000:00:05.0", "pci0000:00");
    fabric_.addGpu("0000:80:05.0", "pci0000:80");
  }

  // Runs fn in a sandbox with the fabric as /sys and returns what it returned.
  std::string inBox(const std::function<std::string()>& fn) const {
    BoxedRun run = runBoxed(tree_.box(), fn);
    EXPECT_EQ(run.status, 0) << run.err;
    return run.result;
  }

  FabricBox tree_;
  sim::Fabric& fabric_ = tree_.fabric;
};

TEST_F(BoardTopologyTest, FourthAncestorPath) {
  P2P_REQUIRE_SANDBOX();
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"0000:3d:00.0", "/sys/devices/pci0000:3a"},
      {"0000:52:00.0", "/sys/devices/pci0000:3a"},
      {"0000:41:00.0", "/sys/devices/pci0000:3a/0000:3a:00.0/0000:3b:00.0"},
      {"0000:3c:08.0", "/sys/devices"},
      {"0000:01:00.0", "/sys"},
      {"0000:00:05.0", "/"},
      {"0000:99:00.0", ""},  // names no function
  };
  std::string returned = inBox([&rows] {
    std::string text;
    for (const auto& row : rows) text += getTr240LastBoardSwitchPath(row.first) + "\n";
    return text;
  });
  std::string expected;
  for (const auto& row : rows) expected += row.second + "\n";
  EXPECT_EQ(returned, expected);
}

struct PairRow {
  const char* a;
  const char* b;
  bool same;
};

// "chip on" for both orders of the pair, as 0/1.
std::string judge(const PairRow& row) {
  std::ostringstream text;
  text << chipSameBoard(row.a, row.b) << chipSameBoard(row.b, row.a) << " "
       << onSameBoard(row.a, row.b) << onSameBoard(row.b, row.a);
  return text.str();
}

TEST_F(BoardTopologyTest, BothTestsAgreeAndAreSymmetric) {
  P2P_REQUIRE_SANDBOX();
  const std::vector<PairRow> rows = {
      {"0000:3d:00.0", "0000:3e:00.0", true},   // two downstream ports of one switch
      {"0000:3d:00.0", "0000:52:00.0", true},   // two root ports of one root bus, same depth
      {"0000:41:00.0", "0000:42:00.0", true},   // the two chips of a dual-chip board
      {"0000:3d:00.0", "0000:41:00.0", false},  // one root bus, different depth
      {"0000:3d:00.0", "0000:1a:00.0", false},  // different root buses
      {"0000:01:00.0", "0000:81:00.0", true},   // shallow: both reach /sys
      {"0000:00:05.0", "0000:80:05.0", true},   // shallow: both reach /
      {"0000:01:00.0", "0000:00:05.0", false},  // /sys against /
      {"0000:3d:00.0", "0000:3d:00.0", true},
  };
  std::string returned = inBox([&rows] {
    std::string text;
    for (const auto& row : rows) text += judge(row) + "\n";
    return text;
  });
  std::string expected;
  for (const auto& row : rows) expected += row.same ? "11 11\n" : "00 00\n";
  EXPECT_EQ(returned, expected);
}

TEST_F(BoardTopologyTest, MissingFunction) {
  P2P_REQUIRE_SANDBOX();
  std::string returned = inBox([] {
    std::string text = std::to_string(chipSameBoard("0000:99:00.0", "0000:3d:00.0")) +
                       std::to_string(chipSameBoard("0000:99:00.0", "0000:98:00.0")) + " ";
    try {
      onSameBoard("0000:3d:00.0", "0000:99:00.0");
      return text + "no exception";
    } catch (const std::filesystem::filesystem_error&) {
      return text + "filesystem_error";
    }
  });
  EXPECT_EQ(returned, "01 filesystem_error");
}

}  // namespace
