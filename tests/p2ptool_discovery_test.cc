// p2ptool's command line and GPU discovery, run on a simulated fabric.
#include <sys/stat.h>
#include <utime.h>

#include "tests/system_fixture.h"

namespace {

constexpr char kGpuA[] = "0000:3d:00.0";
constexpr char kGpuB[] = "0000:3e:00.0";
constexpr char kNic[] = "0000:3f:00.0";

// One switch with two GPUs and a network card of another vendor.
class DiscoveryTest : public systest::FabricTest {
 protected:
  void SetUp() override {
    FabricTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    host_.addRootPort("0000:3a:00.0", "pci0000:3a");
    host_.addSwitch("0000:3a:00.0", "0000:3b:00.0",
                    {"0000:3c:08.0", "0000:3c:10.0", "0000:3c:18.0"});
    host_.addGpu(kGpuA, "0000:3c:08.0");
    host_.addGpu(kGpuB, "0000:3c:10.0");
    host_.addFunction(kNic, "0000:3c:18.0");
  }

  // Pushes a config file's modification time into the past, so that any
  // later write shows.
  void ageConfig(const std::string& bdf) {
    struct utimbuf old_times = {1000000000, 1000000000};
    ASSERT_EQ(utime((host_.dir(bdf) + "/config").c_str(), &old_times), 0);
  }
  time_t configMtime(const std::string& bdf) {
    struct stat st {};
    EXPECT_EQ(stat((host_.dir(bdf) + "/config").c_str(), &st), 0);
    return st.st_mtime;
  }
};

TEST_F(DiscoveryTest, HelpIsAnsweredForAnyUserWithoutTouchingAGpu) {
  for (const char* flag : {"--help", "-h"}) {
    const sim::Result r = tool({flag}, host_, systest::kNobody);
    EXPECT_EQ(r.status, 0) << flag;
    for (const char* text :
         {"Tamberon Zorva Related Pcie Tool.", "-h,--help", "Print this help message and exit",
          "-w,--write", "Write data to base reg0.", "-r,--read",
          "Read HBM data and write data to vm_p2p_cfg."})
      EXPECT_NE(r.out.find(text), std::string::npos) << text << " in\n" << r.out;
  }
  EXPECT_TRUE(setpci_.calls().empty());
  EXPECT_EQ(host_.command(kGpuA), sim::kGpuCommand);
}

TEST_F(DiscoveryTest, ParseErrorsComeBeforeTheRootCheck) {
  const std::vector<std::string> bad_lines[] = {{"--bogus"}, {"stray"}, {"-w", "extra"}};
  for (const auto& args : bad_lines) {
    const sim::Result r = tool(args, host_, systest::kNobody);
    EXPECT_EQ(r.status, 109) << args[0];
    EXPECT_NE(r.err.find("Run with --help for more information."), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Requires root privileges."), std::string::npos);
  }
  EXPECT_TRUE(setpci_.calls().empty());
}

TEST_F(DiscoveryTest, ANonRootUserIsRefused) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"-w"}, {"-r"}}) {
    const sim::Result r = tool(args, host_, systest::kNobody);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Requires root privileges.\n");
  }
  EXPECT_TRUE(setpci_.calls().empty());
  EXPECT_EQ(host_.command(kGpuA), sim::kGpuCommand);
  EXPECT_EQ(host_.capWord(kGpuA), 0);
}

TEST_F(DiscoveryTest, ForcesCommandAndFirstCapabilityWordOfEveryGpu) {
  host_.writeConfig(kGpuB, 0x04, 2, 0x0406);  // further bits set: replaced by exactly 0x0006
  const auto nic_before = host_.configBytes(kNic);
  for (const char* args : {"", "-w", "-r"}) {
    host_.writeConfig(kGpuA, 0x04, 2, 0);
    host_.writeConfig(kGpuA, host_.readConfig(kGpuA, 0x34, 1) + 4, 2, 0x0003);
    const sim::Result r =
        tool(args[0] ? std::vector<std::string>{args} : std::vector<std::string>{});
    EXPECT_EQ(r.status, 0) << args << r.err;
    for (const char* gpu : {kGpuA, kGpuB}) {
      EXPECT_EQ(host_.command(gpu), 0x0006) << gpu << " " << args;
      EXPECT_EQ(host_.capWord(gpu), 0x0008) << gpu << " " << args;
    }
  }
  EXPECT_EQ(host_.configBytes(kNic), nic_before);
  // One probe per GPU and run; the other vendor's function is never probed.
  const auto calls = setpci_.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "-s 0000:3d:00.0 CAP_EXP+4.w"), 3);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "-s 0000:3f:00.0 CAP_EXP+4.w"), 0);
}

TEST_F(DiscoveryTest, RightValuesAreNotWrittenAgain) {
  for (const char* gpu : {kGpuA, kGpuB}) {
    host_.writeConfig(gpu, 0x04, 2, 0x0006);
    host_.writeConfig(gpu, host_.readConfig(gpu, 0x34, 1) + 4, 2, 0x0008);
    ageConfig(gpu);
  }
  host_.writeConfig(kGpuB, 0x04, 2, 0x0002);
  ageConfig(kGpuB);
  ASSERT_EQ(tool({"-w"}).status, 0);
  EXPECT_EQ(configMtime(kGpuA), 1000000000);
  EXPECT_NE(configMtime(kGpuB), 1000000000);
  EXPECT_EQ(host_.command(kGpuB), 0x0006);
}

TEST_F(DiscoveryTest, AVanishedGpuIsReportedOfflineAndLeftAlone) {
  host_.markVanished(kGpuB);
  const auto vanished = host_.configBytes(kGpuB);
  const sim::Result r = tool();
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("Device 0000:3e:00.0 is OFFLINE...\n"), std::string::npos) << r.out;
  EXPECT_EQ(host_.configBytes(kGpuB), vanished);
  EXPECT_EQ(host_.command(kGpuA), 0x0006);
  // Only the live GPU's port is handled.
  EXPECT_EQ(acsCalls(), std::vector<std::string>{"-s 0000:3c:08.0 ECAP_ACS+6.w=0"});
}

TEST_F(DiscoveryTest, WithoutSetpciEveryGpuCountsAsOffline) {
  // The shell cannot find setpci on this PATH: no probe succeeds.
  const std::string saved_path = getenv("PATH");
  setenv("PATH", "/nonexistent", 1);
  sim::Sandbox box = box_;
  box.path_prepend.clear();
  const sim::Result r = sim::run(box, {systest::kP2ptool, "-w"});
  setenv("PATH", saved_path.c_str(), 1);
  EXPECT_EQ(r.status, 0);
  // One line per GPU, in the order the directory lists them.
  EXPECT_NE(r.out.find("Device 0000:3d:00.0 is OFFLINE...\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Device 0000:3e:00.0 is OFFLINE...\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.size(), 2 * strlen("Device 0000:3d:00.0 is OFFLINE...\n"));
  EXPECT_NE(r.err.find("setpci"), std::string::npos) << r.err;  // the shell's own complaint
  EXPECT_EQ(host_.command(kGpuA), sim::kGpuCommand);
  EXPECT_EQ(host_.readWindowWords(kGpuA, sim::kAreaOffset, 1)[0], 0u);
}

TEST_F(DiscoveryTest, AGpuWhoseVendorCannotBeReadIsSkippedWithAMessage) {
  std::ofstream(host_.dir(kGpuB) + "/vendor") << "garbage\n";
  const sim::Result r = tool();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("0000:3e:00.0"), std::string::npos) << r.err;
  EXPECT_EQ(host_.command(kGpuA), 0x0006);
  EXPECT_EQ(host_.command(kGpuB), sim::kGpuCommand);
}

TEST_F(DiscoveryTest, WithoutAGpuNothingRunsAndNothingIsPrinted) {
  sim::TempDir other;
  sim::Fabric plain(other.path());
  plain.addRootPort("0000:00:01.0", "pci0000:00");
  plain.addFunction("0000:01:00.0", "0000:00:01.0");
  const sim::Result r = tool({}, plain);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(setpci_.calls().empty());
}

TEST_F(DiscoveryTest, AMissingDeviceDirectoryIsAClearError) {
  sim::TempDir empty;
  std::filesystem::create_directories(empty / "sys/devices");
  sim::Sandbox box = box_;
  box.sys = empty / "sys";
  const sim::Result r = sim::run(box, {systest::kP2ptool});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error: "), std::string::npos);
  EXPECT_NE(r.err.find("/sys/bus/pci/devices/"), std::string::npos) << r.err;
}

}  // namespace
