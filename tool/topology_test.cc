#include "tool/topology.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct PlacementCase {
  const char* path;
  bool dual_chip;
  std::vector<std::string> acs_ports;
  const char* group_key;
};

TEST(TopologyTest, PlacesGpusByTheShapeOfTheirPath) {
  const PlacementCase cases[] = {
      // Single-chip GPU below a switch: its downstream port, grouped by the upstream port.
      {"/sys/devices/pci0000:3a/0000:3a:00.0/0000:3b:00.0/0000:3c:08.0/0000:3d:00.0",
       false,
       {"0000:3c:08.0"},
       "0000:3b:00.0"},
      // Dual-chip board below an outer switch on a root port.
      {"/sys/devices/pci0000:17/0000:17:00.0/0000:18:00.0/0000:19:00.0/0000:1a:00.0/0000:1b:00.0/"
       "0000:1c:00.0",
       true,
       {"0000:19:00.0", "0000:17:00.0"},
       "0000:18:00.0"},
      // Dual-chip board below two levels of switches: grouped by the sixth ancestor.
      {"/sys/devices/pci0000:10/0000:10:00.0/0000:11:00.0/0000:12:00.0/0000:13:00.0/0000:14:04.0/"
       "0000:15:00.0/0000:16:00.0/0000:17:00.0",
       true,
       {"0000:14:04.0", "0000:12:00.0"},
       "0000:11:00.0"},
      // Dual-chip board in a root-port slot: that root port, grouped by the board's own switch.
      {"/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0/0000:02:00.0/0000:03:00.0",
       true,
       {"0000:00:01.0"},
       "0000:01:00.0"},
      // The same in a domain of five digits.
      {"/sys/devices/pci10000:00/10000:00:01.0/10000:01:00.0/10000:02:00.0/10000:03:00.0",
       true,
       {"10000:00:01.0"},
       "10000:01:00.0"},
  };
  for (const auto& c : cases) {
    const std::optional<GpuPlacement> placement = placeGpu(c.path, c.dual_chip);
    ASSERT_TRUE(placement) << c.path;
    EXPECT_EQ(placement->acs_ports, c.acs_ports) << c.path;
    EXPECT_EQ(placement->group_key, c.group_key) << c.path;
  }
}

TEST(TopologyTest, GpusOnARootBusOrSingleChipsBelowARootPortAreInNoGroup) {
  for (const char* path :
       {"/sys/devices/pci0000:00/0000:00:05.0", "/sys/devices/pci10000:00/10000:00:05.0",
        "/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0"}) {
    EXPECT_FALSE(placeGpu(path, false)) << path;
    EXPECT_FALSE(placeGpu(path, true)) << path;
  }
}

struct LocateCase {
  const char* path;
  std::optional<bool> dual_chip;
  Where where;
  const char* name;
  const char* group_key;
  const char* ungrouped;
  int board_asked;
};

TEST(TopologyTest, LocatesAGpuAskingForItsBoardOnlyWhereItDecides) {
  constexpr char kSwitched[] = "/sys/devices/pci0000:3a/0000:3a:00.0/0000:3b:00.0/0000:3c:08.0/0";
  constexpr char kRootBus[] = "/sys/devices/pci0000:00/0000:00:05.0";
  const std::optional<bool> unknown;
  const LocateCase cases[] = {
      {"/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0", unknown, Where::kBelowRootPort,
       "0000:00:01.0", "", "directly below root port 0000:00:01.0", 0},
      {kRootBus, false, Where::kOnRootBus, "pci0000:00", "", "on the root bus of pci0000:00", 1},
      {kRootBus, unknown, Where::kUnknown, "", "", "", 1},
      {kSwitched, unknown, Where::kUnknown, "", "", "", 1},
      {kSwitched, false, Where::kInGroup, "", "0000:3b:00.0", "", 1},
      {"/sys/devices/pci0000:3a/0000:3a:00.0/bridge/0000:3c:08.0/0", false, Where::kBelowNonAddress,
       "bridge", "", "", 1},
  };
  for (const auto& c : cases) {
    int asked = 0;
    const GpuPlace place = locateGpu(c.path, [&] { return ++asked, c.dual_chip; });
    EXPECT_EQ(place.where, c.where) << c.path;
    EXPECT_EQ(place.name, c.name) << c.path;
    EXPECT_EQ(place.placement.group_key, c.group_key) << c.path;
    EXPECT_EQ(place.ungrouped(), c.ungrouped) << c.path;
    EXPECT_EQ(asked, c.board_asked) << c.path;
  }
}

TEST(TopologyTest, HostBridgeNamesCarryADomainAndABus) {
  for (const char* name : {"pci0000:00", "pci10000:3a", "pciffffffff:ff"})
    EXPECT_TRUE(isHostBridgeName(name)) << name;
  for (const char* name : {"devices", "sys", "", "pci", "pci0000", "0000:00:01.0", "xpci0000:00",
                           "pci0000:00;touch pwned"})
    EXPECT_FALSE(isHostBridgeName(name)) << name;
}

TEST(TopologyTest, RecognisesAGpuDirectlyBelowARootPort) {
  EXPECT_TRUE(isBelowRootPort("/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0"));
  EXPECT_FALSE(isBelowRootPort("/sys/devices/pci0000:3a/0000:3a:00.0/0000:3b:00.0/0000:3c:08.0"));
  // A guest GPU on the root bus has "devices" as second ancestor: analysed, not dropped.
  EXPECT_FALSE(isBelowRootPort("/sys/devices/pci0000:00/0000:00:05.0"));
}

TEST(TopologyTest, OnlyAGpuBelowASwitchIsBelowASwitch) {
  EXPECT_TRUE(isBelowSwitch("/sys/devices/pci0000:3a/0000:3a:00.0/0000:3b:00.0/0000:3c:08.0"));
  EXPECT_FALSE(isBelowSwitch("/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0"));
  EXPECT_FALSE(isBelowSwitch("/sys/devices/pci0000:00/0000:00:05.0"));
}

TEST(TopologyTest, AncestorNamesStopAtTheRoot) {
  const std::filesystem::path device = "/sys/devices/pci0000:00/0000:00:05.0";
  EXPECT_EQ(ancestorName(device, 0), "0000:00:05.0");
  EXPECT_EQ(ancestorName(device, 1), "pci0000:00");
  EXPECT_EQ(ancestorName(device, 3), "sys");
  EXPECT_EQ(ancestorName(device, 4), "");
  EXPECT_EQ(ancestorName(device, 6), "");
}

// Where two GPUs' paths meet: the children of their lowest common bridge.
TEST(TopologyTest, PairsMeetBelowTheirLowestCommonBridge) {
  const std::string outer = "/sys/devices/pci0000:17/0000:17:00.0/0000:18:00.0/";
  const std::string board = outer + "0000:19:00.0/0000:1a:00.0/";
  const std::string single = "/sys/devices/pci0000:3a/0000:3a:00.0/0000:3b:00.0/";
  const struct {
    const char* name;
    std::string a, b;
    MeetingPoint point;
  } rows[] = {
      {"same switch",
       single + "0000:3c:08.0/0000:3d:00.0",
       single + "0000:3c:10.0/0000:3e:00.0",
       {false, "0000:3b:00.0", "0000:3c:08.0", "0000:3c:10.0", true, true}},
      {"board switch",
       board + "0000:1b:00.0/0000:1c:00.0",
       board + "0000:1b:08.0/0000:1d:00.0",
       {false, "0000:1a:00.0", "0000:1b:00.0", "0000:1b:08.0", true, true}},
      {"outer switch",
       board + "0000:1b:00.0/0000:1c:00.0",
       outer + "0000:19:08.0/0000:1e:00.0",
       {false, "0000:18:00.0", "0000:19:00.0", "0000:19:08.0", false, true}},
      {"root complex",
       "/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0",
       "/sys/devices/pci0000:00/0000:00:02.0/0000:02:00.0/0000:03:08.0/0000:04:00.0",
       {true, "", "0000:00:01.0", "0000:00:02.0", true, false}},
      {"different host bridges",
       single + "0000:3c:08.0/0000:3d:00.0",
       "/sys/devices/pci0000:85/0000:85:00.0/0000:86:00.0",
       {true, "", "0000:3a:00.0", "0000:85:00.0", false, true}},
      {"a GPU on a root bus",
       "/sys/devices/pci0000:00/0000:00:05.0",
       "/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0",
       {true, "", "", "0000:00:01.0", false, true}},
  };
  for (const auto& row : rows) {
    const MeetingPoint point = meetingPoint(row.a, row.b);
    EXPECT_EQ(point.root_complex, row.point.root_complex) << row.name;
    EXPECT_EQ(point.bridge, row.point.bridge) << row.name;
    EXPECT_EQ(point.port_a, row.point.port_a) << row.name;
    EXPECT_EQ(point.port_b, row.point.port_b) << row.name;
    EXPECT_EQ(point.direct_a, row.point.direct_a) << row.name;
    EXPECT_EQ(point.direct_b, row.point.direct_b) << row.name;
  }
}

}  // namespace
