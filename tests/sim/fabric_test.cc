#include "tests/sim/fabric.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tests/sim/presets.h"
#include "tests/sim/tempdir.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

// Raw bytes of a file, read without the fabric's accessors.
std::vector<uint8_t> rawBytes(const std::string& path, size_t offset, size_t length) {
  std::string all = readFile(path);
  return std::vector<uint8_t>(all.begin() + static_cast<long>(offset),
                              all.begin() + static_cast<long>(offset + length));
}

// A shell-like write: open with truncation, write one line, close.
void shellWrite(const std::string& path, const std::string& line) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  close(fd);
}

class HostFabricTest : public ::testing::Test {
 protected:
  HostFabricTest() : fabric_(dir_.path()) { buildHostPreset(fabric_); }
  TempDir dir_;
  Fabric fabric_;
};

TEST_F(HostFabricTest, LinksAreRelativeAndResolveToTheNestedDirectories) {
  ASSERT_EQ(fabric_.functions().size(), 24u);
  for (const auto& bdf : fabric_.functions()) {
    SCOPED_TRACE(bdf);
    fs::path link = fs::path(fabric_.sysDir()) / "bus/pci/devices" / bdf;
    fs::path target = fs::read_symlink(link);
    EXPECT_TRUE(target.is_relative());
    EXPECT_EQ(target.string().rfind("../../../devices/pci", 0), 0u);
    EXPECT_EQ(fs::canonical(link), fs::canonical(fabric_.dir(bdf)));
    EXPECT_EQ(fs::path(fabric_.dir(bdf)).parent_path().filename(), fabric_.parentOf(bdf));
    EXPECT_EQ(fabric_.sysDir() + fabric_.devicePath(bdf).substr(4), fabric_.dir(bdf));
  }
  EXPECT_EQ(fabric_.devicePath("0000:3d:00.0"),
            "/sys/devices/pci0000:3a/0000:3a:00.0/0000:3b:00.0/0000:3c:08.0/0000:3d:00.0");
}

struct BusRow {
  const char* bridge;
  int primary, secondary, subordinate;
};

TEST_F(HostFabricTest, BridgeBusNumbersFollowTheFunctionsBelow) {
  const BusRow rows[] = {
      {"0000:17:00.0", 0x17, 0x18, 0x1d}, {"0000:18:00.0", 0x18, 0x19, 0x1d},
      {"0000:19:00.0", 0x19, 0x1a, 0x1d}, {"0000:1a:00.0", 0x1a, 0x1b, 0x1d},
      {"0000:1b:00.0", 0x1b, 0x1c, 0x1c}, {"0000:1b:08.0", 0x1b, 0x1d, 0x1d},
      {"0000:3a:00.0", 0x3a, 0x3b, 0x3f}, {"0000:3b:00.0", 0x3b, 0x3c, 0x3f},
      {"0000:3c:18.0", 0x3c, 0x3f, 0x3f}, {"0000:85:00.0", 0x85, 0x86, 0x86},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bridge);
    std::vector<uint8_t> buses = rawBytes(fabric_.dir(row.bridge) + "/config", 0x18, 3);
    EXPECT_EQ(buses[0], row.primary);
    EXPECT_EQ(buses[1], row.secondary);
    EXPECT_EQ(buses[2], row.subordinate);
  }
}

struct KindRow {
  const char* bdf;
  Kind kind;
  int pcie_type;
  bool acs;
};

TEST_F(HostFabricTest, CapabilityListsMatchTheFunctionKind) {
  const KindRow rows[] = {
      {"0000:3a:00.0", Kind::kRootPort, 4, true},
      {"0000:3b:00.0", Kind::kUpstreamPort, 5, false},  // as on real switches
      {"0000:3c:08.0", Kind::kDownstreamPort, 6, true},
      {"0000:3d:00.0", Kind::kGpu, 0, false},
      {"0000:3f:00.0", Kind::kOther, 0, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bdf);
    EXPECT_EQ(fabric_.kindOf(row.bdf), row.kind);
    std::vector<uint8_t> c = rawBytes(fabric_.dir(row.bdf) + "/config", 0, 4096);
    int pcie = -1;
    for (size_t at = c[0x34]; at != 0; at = c[at + 1])
      if (c[at] == 0x10) pcie = static_cast<int>(at);
    ASSERT_GT(pcie, 0);
    EXPECT_EQ(c[pcie + 2], 0x02 | row.pcie_type << 4);
    EXPECT_EQ(fabric_.acsOffset(row.bdf) > 0, row.acs);
  }
}

TEST_F(HostFabricTest, TextFilesReadAsTheKernelWritesThem) {
  std::string gpu = fabric_.dir("0000:1c:00.0");
  EXPECT_EQ(readFile(gpu + "/vendor"), "0x1cb7\n");
  EXPECT_EQ(readFile(gpu + "/device"), "0x0003\n");
  EXPECT_EQ(readFile(gpu + "/class"), "0x030200\n");
  std::string resource = readFile(gpu + "/resource");
  EXPECT_EQ(std::count(resource.begin(), resource.end(), '\n'), 13);
  EXPECT_EQ(resource.substr(0, 57), "0x0000000000000000 0x0000000000000000 0x0000000000000000\n");
  EXPECT_GE(fs::file_size(gpu + "/resource0"), 0x200100u);
  EXPECT_EQ(fs::file_size(gpu + "/resource2"), 0x8000u);
  EXPECT_FALSE(fs::exists(fabric_.dir("0000:3f:00.0") + "/resource0"));
}

TEST_F(HostFabricTest, AcsControlIsReadAndWrittenInTheConfigFile) {
  EXPECT_EQ(fabric_.acsControl("0000:3c:10.0"), 0x001d);
  fabric_.setAcsControl("0000:3c:10.0", 0x0000);
  size_t at = static_cast<size_t>(fabric_.acsOffset("0000:3c:10.0")) + 6;
  EXPECT_EQ(rawBytes(fabric_.dir("0000:3c:10.0") + "/config", at, 2), (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(fabric_.acsControl("0000:3c:08.0"), 0x001d);
  EXPECT_THROW(fabric_.acsControl("0000:3d:00.0"), std::out_of_range);
}

TEST_F(HostFabricTest, VanishedGpuReadsAllOnesInConfigAndArea) {
  fabric_.writeWindowWords("0000:3e:00.0", kAreaOffset, {5});
  fabric_.markVanished("0000:3e:00.0");
  EXPECT_EQ(rawBytes(fabric_.dir("0000:3e:00.0") + "/config", 0, 4096),
            std::vector<uint8_t>(4096, 0xFF));
  EXPECT_EQ(fabric_.readWindowWords("0000:3e:00.0", kAreaOffset, 1)[0], ~0ULL);
  EXPECT_EQ(fabric_.readConfig("0000:3d:00.0", 0, 2), 0x1cb7u);

  fabric_.writeWindowWords("0000:3d:00.0", kAreaOffset, {5});
  fabric_.markVanished("0000:3d:00.0", false);
  EXPECT_EQ(fabric_.readWindowWords("0000:3d:00.0", kAreaOffset, 1)[0], 5u);
}

TEST_F(HostFabricTest, WindowAccessorsUseTheFileBytes) {
  fabric_.writeWindowWords("0000:60:00.0", kAreaOffset, {0x0000000300006000ULL, 0x6000});
  EXPECT_EQ(rawBytes(fabric_.dir("0000:60:00.0") + "/resource0", kAreaOffset, 9),
            (std::vector<uint8_t>{0x00, 0x60, 0, 0, 3, 0, 0, 0, 0x00}));
  EXPECT_EQ(fabric_.readWindow("0000:60:00.0", kAreaOffset + 8, 2),
            (std::vector<uint8_t>{0x00, 0x60}));
  fabric_.setRegister("0000:60:00.0", kRegBoardProduct, 0x06000005);
  EXPECT_EQ(rawBytes(fabric_.dir("0000:60:00.0") + "/resource2", kRegBoardProduct, 4),
            (std::vector<uint8_t>{0x05, 0x00, 0x00, 0x06}));
  EXPECT_EQ(fabric_.reg("0000:60:00.0", kRegBoardProduct), 0x06000005u);
}

TEST_F(HostFabricTest, ReloadedTreeHasTheSameLayoutAndKeepsGrowing) {
  Fabric again(dir_.path());
  EXPECT_EQ(again.functions(), fabric_.functions());
  EXPECT_EQ(again.hostBridges(), fabric_.hostBridges());
  for (const auto& bdf : fabric_.functions()) {
    EXPECT_EQ(again.kindOf(bdf), fabric_.kindOf(bdf)) << bdf;
    EXPECT_EQ(again.parentOf(bdf), fabric_.parentOf(bdf)) << bdf;
  }
  again.addDownstreamPort("0000:5f:18.0", "0000:5e:00.0");
  again.addGpu("0000:62:00.0", "0000:5f:18.0");
  EXPECT_EQ(again.readConfig("0000:5d:00.0", 0x1A, 1), 0x62u);
  EXPECT_EQ(again.readConfig("0000:5f:18.0", 0x19, 1), 0x62u);
}

TEST_F(HostFabricTest, GuestGpuSharesTheHostCardsWindows) {
  TempDir guest_dir;
  Fabric guest(guest_dir.path());
  auto pairs = buildGuestPreset(guest, fabric_);
  ASSERT_EQ(pairs.size(), 6u);  // 0000:86:00.0 below a root port is left out
  EXPECT_EQ(pairs.front(),
            std::make_pair(std::string("0000:00:05.0"), std::string("0000:1c:00.0")));
  EXPECT_EQ(pairs.back(), std::make_pair(std::string("0000:00:0a.0"), std::string("0000:61:00.0")));
  EXPECT_EQ(guest.devicePath("0000:00:07.0"), "/sys/devices/pci0000:00/0000:00:07.0");

  fabric_.writeWindowWords("0000:3d:00.0", kAreaOffset,
                           {0x0000000300003D00ULL, 0x3D00, 0x43d0000000});
  EXPECT_EQ(guest.readWindowWords("0000:00:07.0", kAreaOffset, 3),
            (std::vector<uint64_t>{0x0000000300003D00ULL, 0x3D00, 0x43d0000000}));
  fabric_.setRegister("0000:1c:00.0", kRegBoardProduct, 0x18000000);
  EXPECT_EQ(guest.reg("0000:00:05.0", kRegBoardProduct), 0x18000000u);
  EXPECT_EQ(readFile(guest.dir("0000:00:05.0") + "/device"), "0x0003\n");
  EXPECT_NE(guest.bar0("0000:00:07.0"), fabric_.bar0("0000:3d:00.0"));

  TempDir q35_dir;
  Fabric q35(q35_dir.path());
  auto q35_pairs = buildQ35GuestPreset(q35, fabric_);
  ASSERT_EQ(q35_pairs.size(), 6u);
  EXPECT_EQ(q35_pairs.front(),
            std::make_pair(std::string("0000:01:00.0"), std::string("0000:1c:00.0")));
  EXPECT_EQ(q35.devicePath("0000:03:00.0"), "/sys/devices/pci0000:00/0000:00:12.0/0000:03:00.0");
  EXPECT_EQ(q35.kindOf("0000:00:12.0"), Kind::kRootPort);
  EXPECT_EQ(q35.readWindowWords("0000:03:00.0", kAreaOffset, 3),
            (std::vector<uint64_t>{0x0000000300003D00ULL, 0x3D00, 0x43d0000000}));
}

TEST(FabricTest, WhatRealSysfsShows) {
  TempDir dir;
  Fabric fabric(dir.path());
  PortOptions bare;
  bare.bus_link = false;
  fabric.addRootPort("10000:00:01.0", "pci10000:00");
  fabric.addUpstreamPort("10000:01:00.0", "10000:00:01.0");
  fabric.addDownstreamPort("10000:02:08.0", "10000:01:00.0", bare);
  GpuOptions old;
  old.bar0 = 0x90000000;
  old.bar0_32bit = true;
  old.bar1 = 0x91;
  fabric.addGpu("10000:03:00.0", "10000:02:08.0", old);
  EXPECT_EQ(fabric.devicePath("10000:03:00.0"),
            "/sys/devices/pci10000:00/10000:00:01.0/10000:01:00.0/10000:02:08.0/10000:03:00.0");
  EXPECT_EQ(packBdf("10000:03:00.0"), 0x100000300u);
  // Real Command registers; ACS on root and downstream ports only.
  EXPECT_EQ(fabric.command("10000:03:00.0"), 0x0546);
  EXPECT_EQ(fabric.command("10000:01:00.0"), 0x0547);
  EXPECT_LT(fabric.acsOffset("10000:01:00.0"), 0);
  EXPECT_GT(fabric.acsOffset("10000:02:08.0"), 0);
  // A 32-bit BAR0 beside a non-zero BAR1.
  EXPECT_EQ(rawBytes(fabric.dir("10000:03:00.0") + "/config", 0x10, 8),
            (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x90, 0x91, 0x00, 0x00, 0x00}));
  EXPECT_EQ(fabric.bar0("10000:03:00.0"), 0x90000000u);
  // A bare bridge directory, and port-service subdirectories.
  const fs::path links = fs::path(fabric.sysDir()) / "bus/pci/devices";
  EXPECT_FALSE(fs::exists(links / "10000:02:08.0"));
  EXPECT_TRUE(fs::exists(links / "10000:03:00.0"));
  EXPECT_TRUE(fs::is_directory(fabric.dir("10000:02:08.0") + "/10000:02:08.0:pcie210"));
  EXPECT_TRUE(fs::is_directory(fabric.dir("10000:00:01.0") + "/10000:00:01.0:pcie002"));
  Fabric again(dir.path());
  EXPECT_EQ(again.functions(), fabric.functions());
  EXPECT_THROW(fabric.addGpu("100000000:00:00.0", "pci10000:00"), std::invalid_argument);
}

TEST(FabricTest, GpuOptionsReachTheConfigFile) {
  TempDir dir;
  Fabric fabric(dir.path());
  GpuOptions options;
  options.device = 0x0210;
  options.bar0 = 0x38E0000000;
  options.command = 0x0406;
  options.pm_control = 0x0003;
  options.registers = {{kRegQmBoard, 1u << 24}};
  fabric.addGpuBelowRootPort("pci0000:00", "0000:00:01.0", "0000:01:00.0", options);
  std::string config = fabric.dir("0000:01:00.0") + "/config";
  EXPECT_EQ(rawBytes(config, 0x10, 8),
            (std::vector<uint8_t>{0x0C, 0x00, 0x00, 0xE0, 0x38, 0x00, 0x00, 0x00}));
  EXPECT_EQ(rawBytes(config, 0x04, 2), (std::vector<uint8_t>{0x06, 0x04}));
  EXPECT_EQ(fabric.bar0("0000:01:00.0"), 0x38E0000000u);
  EXPECT_EQ(fabric.command("0000:01:00.0"), 0x0406);
  EXPECT_EQ(fabric.pmControl("0000:01:00.0"), 0x0003);
  EXPECT_EQ(fabric.reg("0000:01:00.0", kRegQmBoard), 1u << 24);
  fabric.writeConfig("0000:01:00.0", 0x04, 2, 0x0006);
  EXPECT_EQ(rawBytes(config, 0x04, 2), (std::vector<uint8_t>{0x06, 0x00}));
}

TEST(FabricTest, SetCapabilityListRewritesTheStandardList) {
  TempDir dir;
  Fabric fabric(dir.path());
  fabric.addGpu("0000:00:05.0", "pci0000:00");
  fabric.setCapabilityList("0000:00:05.0", {{0x09, 0, 0x1111}, {0x10, pcieCapsWord(2, 9), 0}});
  std::vector<uint8_t> c = fabric.configBytes("0000:00:05.0");
  EXPECT_EQ(c[0x34], 0x40);
  EXPECT_EQ(c[0x40], 0x09);
  EXPECT_EQ(c[0x41], 0x50);
  EXPECT_EQ(c[0x50], 0x10);
  EXPECT_EQ(c[0x52], 0x92);
  EXPECT_EQ(fabric.pmControl("0000:00:05.0"), std::nullopt);
  // MSI first, its Message Address where the first capability's + 4 lies.
  fabric.addGpu("0000:00:06.0", "pci0000:00");
  fabric.putCapabilityFirst("0000:00:06.0", kCapIdMsi);
  c = fabric.configBytes("0000:00:06.0");
  EXPECT_EQ(std::vector<uint8_t>(c.begin() + 0x40, c.begin() + 0x48),
            (std::vector<uint8_t>{0x05, 0x50, 0x80, 0x00, 0x00, 0x00, 0xE0, 0xFE}));
  EXPECT_EQ(c[0x50], 0x01);
  EXPECT_EQ(fabric.pmControl("0000:00:06.0"), kGpuPmControl);
  EXPECT_EQ(pcieType(c), 0);
}

TEST(FabricTest, GpuClassesAudioFunctionsAndVfioBinding) {
  TempDir dir, dev;
  Fabric fabric(dir.path());
  GpuOptions accelerator;
  accelerator.class_code = 0x120000;
  fabric.addGpuBelowRootPort("pci0000:00", "0000:00:01.0", "0000:01:00.0", accelerator);
  fabric.addFunction("0000:01:00.1", "0000:00:01.0", kGpuAudio);
  const std::string node = fabric.bindVfio("0000:01:00.0", 7, dev.path());
  EXPECT_EQ(node, dev.path() + "/vfio/7");
  struct stat st {};
  ASSERT_EQ(stat(node.c_str(), &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(st.st_rdev, makedev(kVfioGroupMajor, 7));
  EXPECT_EQ(readFile(fabric.sysDir() + "/class/vfio/7/dev"), "3990:7\n");
  const std::string device = fabric.vfioDeviceNode("0000:01:00.0", dev.path());
  EXPECT_EQ(device, dev.path() + "/vfio/devices/vfio0");
  ASSERT_EQ(stat(device.c_str(), &st), 0);
  EXPECT_EQ(st.st_rdev, makedev(kVfioDeviceMajor, 0));
  const fs::path gpu = fabric.dir("0000:01:00.0");
  EXPECT_EQ(readFile(gpu / "vfio-dev/vfio0/dev"), "3991:0\n");
  EXPECT_EQ(fs::canonical(fabric.sysDir() + "/class/vfio-dev/vfio0"), gpu / "vfio-dev/vfio0");
  EXPECT_EQ(fs::read_symlink(gpu / "driver").filename(), "vfio-pci");
  EXPECT_EQ(fs::canonical(gpu / "iommu_group"),
            fs::canonical(fabric.sysDir() + "/kernel/iommu_groups/7"));
  EXPECT_EQ(fs::status(gpu / "resource0").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  Fabric again(dir.path());  // kinds from the files: the audio function is no GPU
  EXPECT_EQ(again.gpus(), std::vector<std::string>{"0000:01:00.0"});
  EXPECT_EQ(again.kindOf("0000:01:00.1"), Kind::kOther);
}

// SR-IOV as sysfs shows it: links both ways, the real IDs in the files, 0xFFFF
// in configuration space.
TEST(FabricTest, VirtualFunctionsSitBesideTheirGpu) {
  TempDir dir;
  Fabric fabric(dir.path());
  fabric.addGpuBelowRootPort("pci0000:00", "0000:00:01.0", "0000:01:00.0");
  fabric.addVirtualFunctions("0000:01:00.0", {"0000:01:00.4", "0000:01:01.0"});
  const fs::path pf = fabric.dir("0000:01:00.0"), vf = fabric.dir("0000:01:01.0");
  EXPECT_EQ(fs::canonical(vf / "physfn"), pf);
  EXPECT_EQ(fs::canonical(pf / "virtfn1"), vf);
  EXPECT_EQ(readFile(pf / "sriov_numvfs"), "2\n");
  EXPECT_EQ(readFile(vf / "vendor"), "0x1cb7\n");
  EXPECT_EQ(readFile(vf / "device"), "0x0101\n");
  EXPECT_EQ(readFile(vf / "class"), "0x030200\n");
  EXPECT_EQ(fabric.readConfig("0000:01:01.0", 0, 4), 0xFFFFFFFFu);
  EXPECT_EQ(fabric.bar0("0000:01:01.0"), 0u);
  EXPECT_EQ(fabric.parentOf("0000:01:00.4"), "0000:00:01.0");
  Fabric again(dir.path());
  EXPECT_EQ(again.gpus(), std::vector<std::string>{"0000:01:00.0"});
  EXPECT_EQ(again.kindOf("0000:01:00.4"), Kind::kVirtualFunction);
  EXPECT_THROW(fabric.addVirtualFunctions("0000:00:01.0", {"0000:00:01.1"}), std::invalid_argument);
}

struct PlacementRow {
  const char* what;
  const char* bdf;
  const char* parent;
  Kind kind;
};

// 3a:00.0 leads to buses 3b-3f (3e unused), 3a:04.0 to 40, 3a:08.0 to none.
void buildPlacementBase(Fabric& fabric) {
  fabric.addRootPort("0000:3a:00.0", "pci0000:3a");
  fabric.addSwitch("0000:3a:00.0", "0000:3b:00.0", {"0000:3c:00.0", "0000:3c:08.0"});
  fabric.addGpu("0000:3d:00.0", "0000:3c:00.0");
  fabric.addGpu("0000:3f:00.0", "0000:3c:08.0");
  fabric.addRootPort("0000:3a:04.0", "pci0000:3a");
  fabric.addGpu("0000:40:00.0", "0000:3a:04.0");
  fabric.addRootPort("0000:3a:08.0", "pci0000:3a");
}

void addOfKind(Fabric& fabric, Kind kind, const std::string& bdf, const std::string& parent) {
  switch (kind) {
    case Kind::kRootPort:
      return fabric.addRootPort(bdf, parent);
    case Kind::kUpstreamPort:
      return fabric.addUpstreamPort(bdf, parent);
    case Kind::kDownstreamPort:
      return fabric.addDownstreamPort(bdf, parent);
    default:
      return fabric.addGpu(bdf, parent);
  }
}

TEST(FabricTest, ImpossibleLayoutsAreRefusedAndLeaveNoTrace) {
  const PlacementRow rows[] = {
      {"malformed BDF", "0000:3g:00.0", "pci0000:3a", Kind::kGpu},
      {"device number above 0x1f", "0000:3a:20.0", "pci0000:3a", Kind::kGpu},
      {"root bus of another host bridge", "0000:41:00.0", "pci0000:3a", Kind::kGpu},
      {"child on its parent's bus", "0000:3a:01.0", "0000:3a:08.0", Kind::kGpu},
      {"child on a bus above its parent", "0000:39:00.0", "0000:3a:08.0", Kind::kGpu},
      {"root port below a port", "0000:40:01.0", "0000:3a:04.0", Kind::kRootPort},
      {"downstream port below a root port", "0000:40:01.0", "0000:3a:04.0", Kind::kDownstreamPort},
      {"switch port on a host bridge", "0000:3a:02.0", "pci0000:3a", Kind::kUpstreamPort},
      {"sibling on another bus", "0000:41:00.0", "0000:3a:04.0", Kind::kGpu},
      {"bus reached through another bridge", "0000:3d:01.0", "0000:3a:08.0", Kind::kGpu},
      {"bus inside another bridge's range", "0000:3e:00.0", "0000:3a:08.0", Kind::kGpu},
      {"duplicate", "0000:3d:00.0", "0000:3c:00.0", Kind::kGpu},
      {"unknown parent", "0000:50:00.0", "0000:4f:00.0", Kind::kGpu},
      {"parent that is no bridge", "0000:3e:00.0", "0000:3d:00.0", Kind::kGpu},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    TempDir dir;
    Fabric fabric(dir.path());
    buildPlacementBase(fabric);
    auto before = fabric.functions();
    EXPECT_THROW(addOfKind(fabric, row.kind, row.bdf, row.parent), std::invalid_argument);
    EXPECT_EQ(fabric.functions(), before);
    EXPECT_EQ(Fabric(dir.path()).functions(), before);  // nothing left on disk either
  }
}

TEST(FabricTest, PlacementBaseAcceptsAValidAddition) {
  TempDir dir;
  Fabric fabric(dir.path());
  buildPlacementBase(fabric);
  EXPECT_EQ(fabric.readConfig("0000:3a:08.0", 0x19, 2), 0u);  // no bus below yet
  fabric.addGpu("0000:41:00.0", "0000:3a:08.0");
  EXPECT_EQ(fabric.readConfig("0000:3a:08.0", 0x18, 3), 0x41413au);
}

TEST(FabricTest, FifoItrDebugKeepsEveryLineAPlainFileOnlyTheLast) {
  TempDir dir;
  Fabric fabric(dir.path());
  fabric.addGpu("0000:00:05.0", "pci0000:00");
  fabric.addGpu("0000:00:06.0", "pci0000:00");
  fabric.bindDriver("0000:00:05.0", "0");
  fabric.bindDriver("0000:00:06.0", "1", false);
  std::string driver = fabric.driverDir();
  EXPECT_EQ(fs::canonical(driver + "/0000:00:05.0"), fs::canonical(fabric.dir("0000:00:05.0")));
  EXPECT_TRUE(fs::is_directory(driver + "/0000:00:06.0"));
  EXPECT_EQ(readFile(driver + "/0000:00:06.0/minor"), "1\n");
  EXPECT_TRUE(fs::exists(driver + "/bind"));
  EXPECT_EQ(fs::canonical(fabric.dir("0000:00:05.0") + "/driver"), fs::canonical(driver));

  for (const char* line : {"pt_p2p_cfg 1 4000\n", "pt_p2p_cfg 0 5000\n"}) {
    shellWrite(driver + "/0000:00:05.0/itr_debug", line);
    shellWrite(driver + "/0000:00:06.0/itr_debug", line);
  }
  EXPECT_EQ(fabric.itrDebugLines("0000:00:05.0"),
            (std::vector<std::string>{"pt_p2p_cfg 1 4000", "pt_p2p_cfg 0 5000"}));
  EXPECT_EQ(fabric.itrDebugLines("0000:00:05.0").size(), 2u);  // kept, not consumed
  EXPECT_EQ(fabric.itrDebugLines("0000:00:06.0"), (std::vector<std::string>{"pt_p2p_cfg 0 5000"}));

  // A driver that stops reading after 18 more bytes: the next line fits, one more does not.
  fabric.stopReadingItrDebugAfter("0000:00:05.0", 18);
  ScopedFd writer(open((driver + "/0000:00:05.0/itr_debug").c_str(), O_WRONLY | O_NONBLOCK));
  const std::string line = "pt_p2p_cfg 2 6000\n";
  EXPECT_EQ(write(writer.get(), line.data(), line.size()), 18);
  EXPECT_EQ(write(writer.get(), line.data(), line.size()), -1);  // a blocking writer waits
  EXPECT_EQ(errno, EAGAIN);
  EXPECT_EQ(
      fabric.itrDebugLines("0000:00:05.0"),
      (std::vector<std::string>{"pt_p2p_cfg 1 4000", "pt_p2p_cfg 0 5000", "pt_p2p_cfg 2 6000"}));
}

struct PackRow {
  const char* bdf;
  uint32_t packed;
};

TEST(FabricTest, PackBdfShiftsDeviceByFive) {
  const PackRow rows[] = {{"0000:3b:00.0", 0x3B00},
                          {"0000:3b:01.0", 0x3B20},
                          {"0001:00:1f.7", 0x103E7},
                          {"0000:3c:10.0", 0x3E00}};
  for (const auto& row : rows) EXPECT_EQ(packBdf(row.bdf), row.packed) << row.bdf;
  EXPECT_THROW(packBdf("0000:3b:00"), std::invalid_argument);
}

TEST(TempDirTest, RemovesItsTreeAndMovesOwnership) {
  std::string path;
  {
    TempDir outer("p2psim-test");
    path = outer.path();
    outer.write("a/b/c.txt", "text");
    EXPECT_EQ(readFile(outer / "a/b/c.txt"), "text");
    EXPECT_TRUE(fs::is_directory(outer.subdir("x/y")));
    TempDir moved(std::move(outer));
    EXPECT_EQ(moved.path(), path);
    EXPECT_TRUE(outer.path().empty());
  }
  EXPECT_FALSE(fs::exists(path));
}

}  // namespace
}  // namespace sim
