#include "tests/bench/bench_fabric.h"

#include <gtest/gtest.h>

#include <set>

#include "tests/sim/tempdir.h"

namespace bench {
namespace {

class BenchFabricTest : public ::testing::Test {
 protected:
  sim::TempDir dir_{"p2pbench-test"};
  sim::Fabric host_{dir_.subdir("host")};
  sim::Fabric guest_{dir_.subdir("guest")};
};

std::vector<size_t> groupSizes(const HostLayout& layout) {
  std::vector<size_t> sizes;
  for (const auto& group : layout.groups) sizes.push_back(group.size());
  return sizes;
}

TEST_F(BenchFabricTest, SwitchesOfEightWithABoardOnEveryOtherOne) {
  const HostLayout layout = buildHostFabric(host_, 24);
  EXPECT_EQ(host_.gpus().size(), 24u);
  EXPECT_EQ(groupSizes(layout), (std::vector<size_t>{8, 8, 8}));
  EXPECT_EQ(layout.dual_chip_gpus, 4u);  // boards below switches 0 and 2
  EXPECT_EQ(layout.domains, (std::set<unsigned>{0}));
  // Each switch: one port per single-chip GPU, and for a board the outer
  // downstream port and the root port.
  EXPECT_EQ(layout.acs_ports.size(), 24u);
  EXPECT_EQ(driverCommands(layout), 3u * 8 * 8);
}

TEST_F(BenchFabricTest, BoardChipsHangBelowTheirOwnSwitchInTheOuterGroup) {
  const HostLayout layout = buildHostFabric(host_, 8);
  const std::string chip = layout.groups[0].back();
  const std::string board_port = host_.parentOf(chip);
  const std::string board_switch = host_.parentOf(board_port);
  const std::string outer_port = host_.parentOf(board_switch);
  const std::string outer_switch = host_.parentOf(outer_port);
  const std::string root_port = host_.parentOf(outer_switch);
  EXPECT_EQ(host_.readConfig(chip, 2, 2), sim::kDualChipDevice);
  EXPECT_EQ(host_.kindOf(board_switch), sim::Kind::kUpstreamPort);
  EXPECT_EQ(host_.kindOf(root_port), sim::Kind::kRootPort);
  EXPECT_TRUE(layout.acs_ports.count(outer_port));
  EXPECT_TRUE(layout.acs_ports.count(root_port));
  EXPECT_FALSE(layout.acs_ports.count(board_port));
  // The first single-chip GPU shares the outer switch.
  EXPECT_EQ(host_.parentOf(host_.parentOf(layout.groups[0].front())), outer_switch);
}

TEST_F(BenchFabricTest, ManySwitchesSpreadOverDomainsWithDistinctAddresses) {
  const HostLayout layout = buildHostFabric(host_, 72);
  EXPECT_EQ(layout.domains, (std::set<unsigned>{0, 1}));
  EXPECT_EQ(layout.groups.back().front().substr(0, 4), "0001");
  std::set<uint64_t> bars;
  for (const auto& gpu : host_.gpus()) bars.insert(host_.bar0(gpu));
  EXPECT_EQ(bars.size(), 72u);
}

TEST_F(BenchFabricTest, APartialLastSwitch) {
  const HostLayout layout = buildHostFabric(host_, 10);
  EXPECT_EQ(groupSizes(layout), (std::vector<size_t>{8, 2}));
  EXPECT_EQ(layout.dual_chip_gpus, 2u);  // the odd switch carries no board
  EXPECT_EQ(driverCommands(layout), 64u + 4u);
}

TEST_F(BenchFabricTest, EveryHostGpuIsPassedThroughOnTheGuestRootBuses) {
  buildHostFabric(host_, 32);
  const auto pairs = buildGuestFabric(guest_, host_);
  ASSERT_EQ(pairs.size(), 32u);
  EXPECT_EQ(pairs.front(), std::make_pair(std::string("0000:00:05.0"), host_.gpus().front()));
  EXPECT_EQ(pairs[24].first, "0000:01:05.0");
  for (const auto& [guest_gpu, host_gpu] : pairs) {
    EXPECT_EQ(guest_.readConfig(guest_gpu, 2, 2), host_.readConfig(host_gpu, 2, 2)) << guest_gpu;
    EXPECT_EQ(guest_.kindOf(guest_gpu), sim::Kind::kGpu);
  }
}

}  // namespace
}  // namespace bench
