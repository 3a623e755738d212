// The simulated fabric as the real pciutils see it from inside the sandbox,
// and the p2psim command line.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/sim/fabric.h"
#include "tests/sim/fake_command.h"
#include "tests/sim/presets.h"
#include "tests/sim/sandbox.h"
#include "tests/sim/tempdir.h"

namespace {

namespace fs = std::filesystem;

constexpr char kP2psim[] = P2P_BIN_DIR "/p2psim";

class SimSmokeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    P2P_REQUIRE_SANDBOX();
    ASSERT_TRUE(fs::exists(sim::kRealSetpci)) << "pciutils are not installed";
    sim::buildHostPreset(host_);
    box_.sys = host_.sysDir();
  }

  sim::Result run(const std::vector<std::string>& argv) { return sim::run(box_, argv); }

  sim::TempDir dir_;
  sim::Fabric host_{dir_.path()};
  sim::Sandbox box_;
};

TEST_F(SimSmokeTest, LspciDrawsTheTree) {
  sim::Result r = run({"lspci", "-tv"});
  ASSERT_EQ(r.status, 0) << r.err;
  const char* branches[] = {
      "[0000:3a]---00.0-[3b-3f]----00.0-[3c-3f]--+-08.0-[3d]----00.0  Device 1cb7:0001",
      "+-10.0-[3e]----00.0  Device 1cb7:0001",
      "\\-18.0-[3f]----00.0  Device 1f5e:1017",
      "[0000:17]---00.0-[18-1d]----00.0-[19-1d]----00.0-[1a-1d]----00.0-[1b-1d]--+-00.0-[1c]",
      "\\-08.0-[1d]----00.0  Device 1cb7:0003",
      "[0000:5d]---00.0-[5e-61]----00.0-[5f-61]--+-08.0-[60]",
      "\\-[0000:85]---00.0-[86]----00.0  Device 1cb7:0001",
  };
  for (const char* branch : branches) EXPECT_NE(r.out.find(branch), std::string::npos) << branch;
}

TEST_F(SimSmokeTest, LspciShowsAcsControlOfAPort) {
  sim::Result before = run({"lspci", "-vvv", "-s", "0000:3c:08.0"});
  ASSERT_EQ(before.status, 0) << before.err;
  EXPECT_NE(before.out.find("Capabilities: [148 v1] Access Control Services"), std::string::npos);
  EXPECT_NE(before.out.find("ACSCtl:\tSrcValid+ TransBlk- ReqRedir+ CmpltRedir+ UpstreamFwd+"),
            std::string::npos)
      << before.out;
  EXPECT_NE(before.out.find("Express (v2) Downstream Port"), std::string::npos);
  host_.setAcsControl("0000:3c:08.0", 0);
  sim::Result after = run({"lspci", "-vvv", "-s", "0000:3c:08.0"});
  EXPECT_NE(after.out.find("ACSCtl:\tSrcValid- TransBlk- ReqRedir- CmpltRedir- UpstreamFwd-"),
            std::string::npos)
      << after.out;
}

TEST_F(SimSmokeTest, SetpciClearsAcsControlInTheConfigFile) {
  sim::Result r = run({"setpci", "-s", "0000:3c:08.0", "ECAP_ACS+6.w=0"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(host_.acsControl("0000:3c:08.0"), 0);
  EXPECT_EQ(host_.acsControl("0000:3c:10.0"), sim::kDefaultAcsControl);
  sim::Result read = run({"setpci", "-s", "0000:3c:10.0", "ECAP_ACS+6.w"});
  EXPECT_EQ(read.status, 0);
  EXPECT_EQ(read.out, "001d\n");
}

TEST_F(SimSmokeTest, SetpciFailsOnAPortWithoutAcs) {
  sim::PortOptions no_acs;
  no_acs.acs = false;
  host_.addRootPort("0000:85:04.0", "pci0000:85", no_acs);
  auto config = host_.configBytes("0000:85:04.0");
  sim::Result r = run({"setpci", "-s", "0000:85:04.0", "ECAP_ACS+6.w=0"});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find("not found"), std::string::npos) << r.err;
  EXPECT_EQ(host_.configBytes("0000:85:04.0"), config);
}

TEST_F(SimSmokeTest, SetpciProbeTellsLiveFromVanishedGpus) {
  sim::Result live = run({"setpci", "-s", "0000:3d:00.0", "CAP_EXP+4.w"});
  EXPECT_EQ(live.status, 0) << live.err;
  EXPECT_EQ(live.out, "8002\n");
  host_.markVanished("0000:3e:00.0");
  sim::Result gone = run({"setpci", "-s", "0000:3e:00.0", "CAP_EXP+4.w"});
  EXPECT_NE(gone.status, 0);
}

struct SelectorRow {
  const char* selector;
  bool succeeds;
  const char* message;
};

TEST_F(SimSmokeTest, SetpciSelectorsThatMatchNothing) {
  const SelectorRow rows[] = {
      {"0000:99:00.0", true, "No devices selected"},
      {"devices", false, "Invalid slot number"},
      {"pci0000:00", false, "Invalid bus number"},
  };
  for (const auto& row : rows) {
    sim::Result r = run({"setpci", "-s", row.selector, "ECAP_ACS+6.w=0"});
    EXPECT_EQ(r.status == 0, row.succeeds) << row.selector;
    EXPECT_NE(r.err.find(row.message), std::string::npos) << row.selector << ": " << r.err;
  }
  // The empty name: "-s" takes the register expression as its slot.
  sim::Result empty = run({"sh", "-c", "setpci -s  ECAP_ACS+6.w=0"});
  EXPECT_NE(empty.status, 0);
}

TEST_F(SimSmokeTest, LoggingSetpciRecordsCallsAndKeepsTheRealStatus) {
  sim::FakeCommand setpci = sim::loggingSetpci();
  box_.path_prepend = {setpci.dir()};
  host_.addRootPort("0000:85:04.0", "pci0000:85", sim::PortOptions{false});
  sim::Result r = run({"sh", "-c",
                       "setpci -s 0000:3c:10.0 ECAP_ACS+6.w=0 >/dev/null 2>&1 && "
                       "setpci -s 0000:85:04.0 ECAP_ACS+6.w=0 2>/dev/null"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(host_.acsControl("0000:3c:10.0"), 0);
  EXPECT_EQ(setpci.calls(), (std::vector<std::string>{"-s 0000:3c:10.0 ECAP_ACS+6.w=0",
                                                      "-s 0000:85:04.0 ECAP_ACS+6.w=0"}));
  setpci.clear();
  EXPECT_TRUE(setpci.calls().empty());
}

TEST(SimCliTest, BuildsPresetsAndRunsCommandsOverThem) {
  P2P_REQUIRE_SANDBOX();
  sim::TempDir dir;
  sim::Result host = sim::run({}, {kP2psim, "build", dir / "host", "host"});
  ASSERT_EQ(host.status, 0) << host.err;
  EXPECT_NE(host.out.find("      0000:3c:08.0"), std::string::npos) << host.out;
  sim::Result guest = sim::run({}, {kP2psim, "build", dir / "guest", "guest", dir / "host"});
  ASSERT_EQ(guest.status, 0) << guest.err;
  EXPECT_NE(guest.out.find("guest 0000:00:07.0 is host 0000:3d:00.0"), std::string::npos);
  sim::Result q35 = sim::run({}, {kP2psim, "build", dir / "q35", "q35-guest", dir / "host"});
  ASSERT_EQ(q35.status, 0) << q35.err;
  EXPECT_NE(q35.out.find("guest 0000:03:00.0 is host 0000:3d:00.0"), std::string::npos);
  EXPECT_NE(q35.out.find("  0000:00:12.0 "), std::string::npos) << q35.out;
  sim::Result real = sim::run({}, {kP2psim, "build", dir / "real", "real-host"});
  ASSERT_EQ(real.status, 0) << real.err;
  EXPECT_NE(real.out.find("pci10000:00\n"), std::string::npos) << real.out;
  EXPECT_NE(real.out.find("BAR0 90000000"), std::string::npos) << real.out;

  sim::Result clear = sim::run({}, {kP2psim, "run", "--sys", dir / "host", "--", "setpci", "-s",
                                    "0000:3c:08.0", "ECAP_ACS+6.w=0"});
  EXPECT_EQ(clear.status, 0) << clear.err;
  EXPECT_EQ(sim::Fabric(dir / "host").acsControl("0000:3c:08.0"), 0);
  sim::Result status = sim::run({}, {kP2psim, "run", "--sys", dir / "guest", "--", "sh", "-c",
                                     "test -e /sys/bus/pci/devices/0000:00:0a.0 && exit 9"});
  EXPECT_EQ(status.status, 9) << status.err;
  for (const char* fabric : {"host", "guest"}) {  // their CPUs, not the machine's
    const sim::Result flag = sim::run({}, {kP2psim, "run", "--sys", dir / fabric, "--", "grep",
                                           "-qw", "hypervisor", "/proc/cpuinfo"});
    EXPECT_EQ(flag.status, fabric == std::string("host") ? 1 : 0) << fabric << flag.err;
  }

  sim::Fabric(dir / "host")
      .writeWindowWords("0000:3d:00.0", sim::kAreaOffset,
                        {0x0000000300003D00ULL, 0x3D00, 0x43D0000000ULL});
  sim::Result area = sim::run({}, {kP2psim, "area", dir / "guest", "0000:00:07.0"});
  EXPECT_EQ(area.out,
            "0000:00:07.0 +0x000  0000000300003d00\n"
            "0000:00:07.0 +0x008  0000000000003d00\n"
            "0000:00:07.0 +0x010  00000043d0000000\n");
}

TEST(SimCliTest, TheDemosQueriesExitNonZeroWhenTheFabricDisagrees) {
  P2P_REQUIRE_SANDBOX();
  sim::TempDir dir;
  const std::string host = dir / "host", guest = dir / "guest", logs = dir.subdir("logs");
  auto p2psim = [](std::vector<std::string> args) {
    args.insert(args.begin(), kP2psim);
    return sim::run({}, args);
  };
  ASSERT_EQ(p2psim({"build", host, "quad-host"}).status, 0);
  const sim::Result given = p2psim({"build", guest, "guest", host, "--gpus", "0000:40:00.0"});
  EXPECT_NE(given.out.find("guest 0000:00:05.0 is host 0000:40:00.0\n"), std::string::npos);
  EXPECT_EQ(p2psim({"build", dir / "no", "guest", host, "--gpus", "0000:3c:00.0"}).status, 1);

  p2psim({"acs", host, "--save", dir / "before"});
  auto setpci = [&](const std::string& keeps) {
    return p2psim({"run", "--sys", host, "--acs-keeps", keeps, "--", "setpci", "-s", "0000:3c:08.0",
                   "ECAP_ACS+6.w=0000:002c"});
  };
  EXPECT_EQ(setpci("0000:3c:08.0=10000").status, 1);
  EXPECT_EQ(setpci("0000:3c:08.0=0004").status, 0);
  EXPECT_EQ(sim::Fabric(host).acsControl("0000:3c:08.0"), 0x0015);  // 0x001d: ReqRedir kept
  EXPECT_EQ(p2psim({"acs", host, "--since", dir / "before", "--changed"}).out, "0000:3c:08.0\n");
  EXPECT_EQ(p2psim({"acs", host, "--blocking"}).out,
            "0000:3c:00.0 ReqRedir CmpltRedir\n0000:3c:08.0 ReqRedir\n"
            "0000:3c:10.0 ReqRedir CmpltRedir\n0000:3c:18.0 ReqRedir CmpltRedir\n");
  EXPECT_EQ(setpci("0000:3c:08.0=ffff").status, 0);  // the largest word
  EXPECT_EQ(sim::Fabric(host).acsControl("0000:3c:08.0"), 0xffff);

  EXPECT_EQ(p2psim({"decode", host, "0000:40:00.0"}).status, 1);  // no table yet
  sim::Fabric(host).writeWindowWords("0000:40:00.0", sim::kAreaOffset,
                                     {0x0000000300004000ULL, 0x4000, 0x4400000000ULL});
  const sim::Result lonely = p2psim({"decode", host, "0000:40:00.0"});
  EXPECT_EQ(lonely.status, 1);  // one member of a group of four
  EXPECT_NE(lonely.out.find("NOT its group's"), std::string::npos) << lonely.out;

  p2psim({"bind", guest, "0000:00:05.0", "0"});
  EXPECT_EQ(p2psim({"received", guest, host, logs}).status, 1);  // told nothing
  std::ofstream(logs + "/itr-0000:00:05.0.log") << "pt_p2p_cfg 0 4400000000\n";
  const sim::Result told = p2psim({"received", guest, host, logs});
  EXPECT_EQ(told.status, 0) << told.out;
}

}  // namespace
