#include "common/device/enumeration.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/util/test_boxed_run.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

std::vector<std::string> sorted(std::vector<std::string> items) {
  std::sort(items.begin(), items.end());
  return items;
}

std::string joinPaths() {
  std::string text;
  for (const fs::path& path : GetAllDevicePath()) text += path.string() + "\n";
  return text;
}

std::string joinBusIds() {
  std::string text;
  for (const std::string& bdf : GetAllDeviceBusId()) text += bdf + "\n";
  return text;
}

// GPUs (vendor 0x1cb7) that answer, one that does not, one that goes away
// during the walk, and entries that are not GPUs or cannot be read.
class EnumerationTest : public testing::Test {
 protected:
  void SetUp() override {
    sim::Fabric& fabric = tree_.fabric;
    fabric.addGpuBelowRootPort("pci0000:3a", "0000:3a:00.0", "0000:3b:00.0");
    fabric.addGpu("0000:3b:00.1", "0000:3a:00.0");  // second function of the GPU
    fabric.addGpuBelowRootPort("pci0000:00", "0000:00:01.0", "0000:01:00.0");
    fabric.addGpuAnywhere("0000:02:00.0", "0000:01:00.0");  // a path below another GPU's
    fabric.addFunction("0000:00:1f.0", "pci0000:00", {0x8086});
    fabric.addGpuBelowRootPort("pci0000:00", "0000:00:02.0", "0000:05:00.0");
    tree_.setpci.fail("0000:05:00.0", 1, "setpci: no answer from 0000:05:00.0\n");
    fabric.addGpuBelowRootPort("pci0000:00", "0000:00:03.0", "0000:09:00.0");
    tree_.setpci.vanish("0000:09:00.0");
    fabric.addGpuBelowRootPort("pci0000:00", "0000:00:04.0", "0000:06:00.0");
    fabric.addGpu("0000:06:00.1", "0000:00:04.0");
    fabric.setFileText("0000:06:00.0", "device", std::nullopt);
    fabric.setFileText("0000:06:00.1", "vendor", std::nullopt);
    fabric.addGpuBelowRootPort("pci0000:00", "0000:00:05.0", "0000:07:00.0");
    fabric.setFileText("0000:07:00.0", "vendor", "garbage\n");
    fabric.addGpuBelowRootPort("pci0000:00", "0000:00:06.0", "0000:08:00.0");
    fabric.setFileText("0000:08:00.0", "vendor", "");
    fabric.addFunction("0000:3b:00.2", "0000:3a:00.0", {0x1cb7, 0x00a1, 0x040300});  // audio
    fabric.addGpuBelowRootPort("pci0000:00", "0000:00:07.0", "0000:0a:00.0");
    fabric.setFileText("0000:0a:00.0", "class", "garbage\n");
  }
  FabricBox tree_;
};

TEST_F(EnumerationTest, DevicePathsOfTheAnsweringGpusInPathOrder) {
  P2P_REQUIRE_SANDBOX();
  BoxedRun run = runBoxed(tree_.box(), joinPaths);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(lines(run.result), (std::vector<std::string>{
                                   "/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0",
                                   "/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0/0000:02:00.0",
                                   "/sys/devices/pci0000:3a/0000:3a:00.0/0000:3b:00.0",
                                   "/sys/devices/pci0000:3a/0000:3a:00.0/0000:3b:00.1"}));
  EXPECT_EQ(run.out, "Device 0000:05:00.0 is OFFLINE...\n");
  // The probe's own complaint reaches standard error.
  EXPECT_NE(run.err.find("setpci: no answer from 0000:05:00.0"), std::string::npos) << run.err;
  for (const char* bdf : {"0000:07:00.0", "0000:08:00.0"})
    EXPECT_NE(run.err.find("Error: GetAllDevicePath: cannot read vendor ID of " + std::string(bdf)),
              std::string::npos)
        << run.err;
  EXPECT_NE(run.err.find("Error: GetAllDevicePath: cannot read class code of 0000:0a:00.0: no "
                         "hexadecimal number in /sys/bus/pci/devices/0000:0a:00.0/class"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("Error: GetAllDevicePath: cannot resolve the device path of 0000:09:00.0"),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("0000:06:00"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("0000:00:1f.0"), std::string::npos) << run.err;
  // Every candidate GPU is probed once, other entries never.
  EXPECT_EQ(
      sorted(tree_.setpci.calls()),
      (std::vector<std::string>{"-s 0000:01:00.0 CAP_EXP+4.w", "-s 0000:02:00.0 CAP_EXP+4.w",
                                "-s 0000:05:00.0 CAP_EXP+4.w", "-s 0000:09:00.0 CAP_EXP+4.w",
                                "-s 0000:3b:00.0 CAP_EXP+4.w", "-s 0000:3b:00.1 CAP_EXP+4.w"}));
}

TEST_F(EnumerationTest, BusIdsOfTheGpusWhoseProbeSucceeds) {
  P2P_REQUIRE_SANDBOX();
  BoxedRun run = runBoxed(tree_.box(), joinBusIds);
  ASSERT_EQ(run.status, 0) << run.err;
  // Not resolved, so the vanished function still counts; listing order, hence sorted here.
  EXPECT_EQ(sorted(lines(run.result)),
            (std::vector<std::string>{"0000:01:00.0", "0000:02:00.0", "0000:09:00.0",
                                      "0000:3b:00.0", "0000:3b:00.1"}));
  EXPECT_EQ(run.out, "Device 0000:05:00.0 is offline...\n");
  EXPECT_EQ(run.err.find("setpci"), std::string::npos) << run.err;  // probe errors discarded
  for (const char* bdf : {"0000:07:00.0", "0000:08:00.0"})
    EXPECT_NE(
        run.err.find("Error: GetAllDeviceBusId: cannot read vendor ID of " + std::string(bdf)),
        std::string::npos)
        << run.err;
  EXPECT_EQ(tree_.setpci.calls().size(), 6u);
}

TEST_F(EnumerationTest, DomainIsThePrefixOfAListedEntry) {
  P2P_REQUIRE_SANDBOX();
  BoxedRun run = runBoxed(tree_.box(), getDomain);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.result, "0000:");
  EXPECT_EQ(run.out, "");
}

TEST(Enumeration, DomainOfAnotherDomain) {
  P2P_REQUIRE_SANDBOX();
  FabricBox tree;
  tree.fabric.addGpu("0001:02:03.1", "pci0001:02");
  EXPECT_EQ(runBoxed(tree.box(), getDomain).result, "0001:");
}

TEST(Enumeration, EmptyDevicesDirectoryGivesNothing) {
  P2P_REQUIRE_SANDBOX();
  FabricBox tree;
  BoxedRun run =
      runBoxed(tree.box(), [] { return joinPaths() + "|" + joinBusIds() + "|" + getDomain(); });
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.result, "||");
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(tree.setpci.log(), "");
}

TEST(Enumeration, MissingDevicesDirectory) {
  P2P_REQUIRE_SANDBOX();
  FabricBox tree;
  fs::remove_all(tree.fabric.sysDir() + "/bus");
  BoxedRun run = runBoxed(tree.box(), [] {
    std::string result;
    for (auto enumerate : {+[] { GetAllDevicePath(); }, +[] { GetAllDeviceBusId(); }}) {
      try {
        enumerate();
        result += "returned;";
      } catch (const fs::filesystem_error&) {
        result += "filesystem_error;";
      }
    }
    return result + "[" + getDomain() + "]";
  });
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.result, "filesystem_error;filesystem_error;[]");
  EXPECT_EQ(run.out, "Directory does not exist: /sys/bus/pci/devices/\n");
}

struct DeviceIdCase {
  const char* name;
  std::optional<std::string> file;
  std::string result;
};

class GetDeviceIdTest : public testing::TestWithParam<DeviceIdCase> {};

TEST_P(GetDeviceIdTest, ReadsTheDeviceFile) {
  P2P_REQUIRE_SANDBOX();
  FabricBox tree;
  tree.fabric.addGpuBelowRootPort("pci0000:3a", "0000:3a:00.0", "0000:3b:00.0");
  tree.fabric.setFileText("0000:3b:00.0", "device", GetParam().file);
  BoxedRun run = runBoxed(tree.box(), [] {
    try {
      return std::to_string(getDeviceId("0000:3b:00.0"));
    } catch (const std::invalid_argument&) {
      return std::string("invalid_argument");
    }
  });
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.result, GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Cases, GetDeviceIdTest,
                         testing::Values(DeviceIdCase{"Dual", "0x0003\n", "3"},
                                         DeviceIdCase{"Upper", "0x0210\n", "528"},
                                         DeviceIdCase{"Garbage", "garbage\n", "invalid_argument"},
                                         DeviceIdCase{"Empty", "", "invalid_argument"},
                                         DeviceIdCase{"Missing", std::nullopt, "invalid_argument"}),
                         [](const testing::TestParamInfo<DeviceIdCase>& info) {
                           return info.param.name;
                         });

}  // namespace
