#include "tests/sim/presets.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/sim/tempdir.h"

namespace sim {
namespace {

struct GroupRow {
  const char* gpu;
  bool grouped;
};

TEST(PresetsTest, HostPresetGroupsEveryGpuButTheOneBelowARootPort) {
  TempDir dir;
  Fabric host(dir.path());
  buildHostPreset(host);
  const GroupRow rows[] = {{"0000:1c:00.0", true}, {"0000:1d:00.0", true}, {"0000:3d:00.0", true},
                           {"0000:3e:00.0", true}, {"0000:60:00.0", true}, {"0000:61:00.0", true},
                           {"0000:86:00.0", false}};
  EXPECT_EQ(host.gpus().size(), std::size(rows));
  for (const auto& row : rows) EXPECT_EQ(isGroupedGpu(host, row.gpu), row.grouped) << row.gpu;
  EXPECT_EQ(host.kindOf("0000:3f:00.0"), Kind::kOther);
  EXPECT_EQ(host.readConfig("0000:1c:00.0", 2, 2), kDualChipDevice);
  EXPECT_EQ(host.readConfig("0000:3d:00.0", 2, 2), kSingleChipDevice);
}

TEST(PresetsTest, QuadHostGroupsFourGpusAndAGuestMayBeGivenPartOfThem) {
  TempDir dir, guest_dir, other_dir;
  Fabric host(dir.path()), guest(guest_dir.path()), other(other_dir.path());
  buildQuadHostPreset(host);
  const std::vector<std::string> gpus = {"0000:3d:00.0", "0000:3e:00.0", "0000:3f:00.0",
                                         "0000:40:00.0"};
  EXPECT_EQ(host.gpus(), gpus);
  for (const auto& gpu : gpus) EXPECT_EQ(host.parentOf(host.parentOf(gpu)), "0000:3b:00.0");
  const auto pairs = buildGuestPreset(guest, host, {"0000:40:00.0", "0000:3e:00.0"});
  EXPECT_EQ(pairs, (std::vector<std::pair<std::string, std::string>>{
                       {"0000:00:05.0", "0000:3e:00.0"}, {"0000:00:06.0", "0000:40:00.0"}}));
  EXPECT_EQ(guest.gpus().size(), 2u);
  EXPECT_THROW(buildGuestPreset(other, host, {"0000:3c:00.0"}), std::invalid_argument);
  EXPECT_THROW(buildGuestPreset(other, host, {"0000:41:00.0"}), std::invalid_argument);
}

TEST(PresetsTest, RealHostPresetAddsAWideDomainAnOldBarAndABareBridge) {
  TempDir dir;
  Fabric host(dir.path());
  buildRealHostPreset(host);
  EXPECT_EQ(host.gpus().size(), 11u);
  EXPECT_EQ(host.readConfig("0000:c3:00.0", 0x14, 4), 0x91u);
  EXPECT_FALSE(std::filesystem::exists(host.sysDir() + "/bus/pci/devices/10000:02:08.0"));
  const std::string table = fabricTable(host);
  EXPECT_NE(table.find("pci10000:00\n  10000:00:01.0"), std::string::npos) << table;
  EXPECT_NE(table.find("Cmd 0546  PM 0008  BAR0 90000000"), std::string::npos) << table;
  EXPECT_NE(table.find("1e4d:9781  no ACS\n        0000:c3:00.0"), std::string::npos) << table;
  EXPECT_NE(table.find("0000:c3:00.1         other function           1cb7:00a1"),
            std::string::npos);
}

TEST(PresetsTest, TableShowsTheTreeWithLiveValues) {
  TempDir dir;
  Fabric host(dir.path());
  buildHostPreset(host);
  host.setAcsControl("0000:3c:08.0", 0);
  host.writeConfig("0000:3d:00.0", 0x04, 2, 0x0006);
  host.markVanished("0000:3e:00.0");
  std::string table = fabricTable(host);
  EXPECT_NE(table.find("pci0000:3a\n  0000:3a:00.0 "), std::string::npos) << table;
  EXPECT_NE(table.find("      0000:3c:08.0"), std::string::npos);
  EXPECT_NE(table.find("1e4d:9781  ACS Ctrl 0000\n        0000:3d:00.0"), std::string::npos)
      << table;
  EXPECT_NE(table.find("1e4d:9781  ACS Ctrl 001d\n        0000:3e:00.0"), std::string::npos);
  EXPECT_NE(table.find("Cmd 0006  PM 0008  BAR0 43d0000000"), std::string::npos);
  EXPECT_NE(table.find("not answering"), std::string::npos);
  EXPECT_NE(table.find("GPU (dual-chip board)"), std::string::npos);
}

}  // namespace
}  // namespace sim
