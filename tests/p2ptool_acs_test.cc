// p2ptool's default run on the topologies it meets: which ports get ACS
// redirection switched off (with the real setpci writing the fake config
// files), in which order, and the warning for a port where that fails.
#include <unistd.h>

#include "tests/system_fixture.h"

namespace {

namespace fs = std::filesystem;
using Calls = std::vector<std::string>;

std::string acsCall(const std::string& port) { return "-s " + port + " ECAP_ACS+6.w=0000:002c"; }

// ACS Control with P2P Request Redirect, Completion Redirect and Egress Control off.
uint16_t redirectOff(uint16_t control) { return control & ~0x002c; }

std::string warning(const std::string& port) {
  return "\033[31mWARNING:\033[0m Failed modified and ACS \033[4m" + port +
         "\033[0m status is turned on\n";
}

class AcsTest : public systest::FabricTest {
 protected:
  // Runs the default mode; the ports of `cleared` must lose their redirect
  // bits and keep the others, every other port its whole ACS Control word.
  // A run that warns exits 1.
  void runAndCheck(const std::vector<std::string>& cleared, const Calls& calls,
                   const std::string& output = "") {
    std::map<std::string, uint16_t> before;
    for (const auto& bdf : host_.functions())
      if (host_.acsOffset(bdf) >= 0) before[bdf] = host_.acsControl(bdf);
    const sim::Result r = tool();
    EXPECT_EQ(r.status, output.empty() ? 0 : 1) << r.err;
    EXPECT_EQ(r.out, output);
    EXPECT_EQ(r.err, "");  // setpci's complaints never reach the terminal
    EXPECT_EQ(acsCalls(), calls);
    for (const auto& [port, value] : before) {
      const bool expect_cleared = std::find(cleared.begin(), cleared.end(), port) != cleared.end();
      EXPECT_EQ(host_.acsControl(port), expect_cleared ? redirectOff(value) : value) << port;
    }
  }
};

TEST_F(AcsTest, TwoGpusBelowOneSwitch) {
  host_.addRootPort("0000:3a:00.0", "pci0000:3a");
  host_.addSwitch("0000:3a:00.0", "0000:3b:00.0", {"0000:3c:08.0", "0000:3c:10.0", "0000:3c:18.0"});
  host_.addGpu("0000:3d:00.0", "0000:3c:08.0");
  host_.addGpu("0000:3e:00.0", "0000:3c:10.0");
  host_.addFunction("0000:3f:00.0", "0000:3c:18.0");
  host_.setAcsControl("0000:3c:10.0", 0x007f);  // every bit the capability has, and more
  runAndCheck({"0000:3c:08.0", "0000:3c:10.0"}, {acsCall("0000:3c:08.0"), acsCall("0000:3c:10.0")});
  EXPECT_EQ(host_.acsControl("0000:3c:08.0"), 0x0011);  // from 0x001d: SrcValid, UpstreamFwd kept
  EXPECT_EQ(host_.acsControl("0000:3c:10.0"), 0x0053);
}

TEST_F(AcsTest, TwoSwitchesAreHandledInAscendingOrderOncePerPort) {
  host_.addRootPort("0000:5d:00.0", "pci0000:5d");
  host_.addSwitch("0000:5d:00.0", "0000:5e:00.0", {"0000:5f:08.0", "0000:5f:10.0"});
  host_.addGpu("0000:60:00.0", "0000:5f:08.0");
  host_.addGpu("0000:60:00.1", "0000:5f:08.0");  // second function: same port, one call
  host_.addGpu("0000:61:00.0", "0000:5f:10.0");
  host_.addRootPort("0000:3a:00.0", "pci0000:3a");
  host_.addSwitch("0000:3a:00.0", "0000:3b:00.0", {"0000:3c:08.0"});
  host_.addGpu("0000:3d:00.0", "0000:3c:08.0");
  runAndCheck({"0000:3c:08.0", "0000:5f:08.0", "0000:5f:10.0"},
              {acsCall("0000:3c:08.0"), acsCall("0000:5f:08.0"), acsCall("0000:5f:10.0")});
}

TEST_F(AcsTest, DualChipBoardBelowAnOuterSwitch) {
  host_.addRootPort("0000:17:00.0", "pci0000:17");
  host_.addSwitch("0000:17:00.0", "0000:18:00.0", {"0000:19:00.0"});
  host_.addDualChipBoard("0000:19:00.0", "0000:1a:00.0", {"0000:1b:00.0", "0000:1b:08.0"},
                         {"0000:1c:00.0", "0000:1d:00.0"});
  // The outer switch's downstream port and the root port above the switch;
  // the board's own switch keeps ACS.
  runAndCheck({"0000:17:00.0", "0000:19:00.0"}, {acsCall("0000:17:00.0"), acsCall("0000:19:00.0")});
}

TEST_F(AcsTest, DualChipBoardRecognisedByItsProductId) {
  host_.addRootPort("0000:17:00.0", "pci0000:17");
  host_.addSwitch("0000:17:00.0", "0000:18:00.0", {"0000:19:00.0"});
  host_.addSwitch("0000:19:00.0", "0000:1a:00.0", {"0000:1b:00.0"});
  sim::GpuOptions chip;
  chip.device = 0x0002;
  chip.registers[sim::kRegBoardProduct] = 12u << 25;  // a dual-chip product
  host_.addGpu("0000:1c:00.0", "0000:1b:00.0", chip);
  runAndCheck({"0000:17:00.0", "0000:19:00.0"}, {acsCall("0000:17:00.0"), acsCall("0000:19:00.0")});
}

TEST_F(AcsTest, DualChipBoardsInRootPortSlotsUseTheirRootPortsOnly) {
  host_.addRootPort("0000:00:01.0", "pci0000:00");
  host_.addDualChipBoard("0000:00:01.0", "0000:01:00.0", {"0000:02:00.0", "0000:02:08.0"},
                         {"0000:03:00.0", "0000:04:00.0"});
  host_.addRootPort("0000:80:01.0", "pci0000:80");
  host_.addDualChipBoard("0000:80:01.0", "0000:81:00.0", {"0000:82:00.0", "0000:82:08.0"},
                         {"0000:83:00.0", "0000:84:00.0"});
  // No name above the device tree ("devices") reaches setpci.
  runAndCheck({"0000:00:01.0", "0000:80:01.0"}, {acsCall("0000:00:01.0"), acsCall("0000:80:01.0")});
}

TEST_F(AcsTest, AGpuDirectlyBelowARootPortNeedsNoPort) {
  sim::GpuOptions decoding_off;
  decoding_off.command = 0;
  host_.addGpuBelowRootPort("pci0000:85", "0000:85:00.0", "0000:86:00.0", decoding_off);
  runAndCheck({}, {});
  EXPECT_EQ(host_.command("0000:86:00.0"), 0x0006);  // still discovered
}

TEST_F(AcsTest, AGuestWithGpusOnTheRootBus) {
  sim::GpuOptions single;
  single.command = 0;
  host_.addGpu("0000:00:05.0", "pci0000:00", single);
  sim::GpuOptions dual;
  dual.device = sim::kDualChipDevice;
  host_.addGpu("0000:00:06.0", "pci0000:00", dual);
  // No switch port above them: setpci is never aimed at "pci0000:00", "sys" or "".
  runAndCheck({}, {});
  EXPECT_EQ(host_.command("0000:00:05.0"), 0x0006);  // still discovered
}

TEST_F(AcsTest, PortsThatAreNotReachedOrKeepTheirBitsAreWarnedAbout) {
  host_.addRootPort("0000:3a:00.0", "pci0000:3a");
  host_.addUpstreamPort("0000:3b:00.0", "0000:3a:00.0");
  sim::PortOptions bare;
  bare.bus_link = false;  // setpci selects no device, and exits 0
  host_.addDownstreamPort("0000:3c:08.0", "0000:3b:00.0", bare);
  host_.addDownstreamPort("0000:3c:10.0", "0000:3b:00.0");
  host_.addDownstreamPort("0000:3c:18.0", "0000:3b:00.0");
  host_.addGpu("0000:3d:00.0", "0000:3c:08.0");
  host_.addGpu("0000:3e:00.0", "0000:3c:10.0");
  host_.addGpu("0000:3f:00.0", "0000:3c:18.0");
  host_.markVanished("0000:3c:18.0");  // gone: whether it has ACS is unknown
  runAndCheck({"0000:3c:10.0"},
              {acsCall("0000:3c:08.0"), acsCall("0000:3c:10.0"), acsCall("0000:3c:18.0")},
              warning("0000:3c:08.0") + warning("0000:3c:18.0"));

  // A setpci that reports success but clears nothing: read back, the port is warned about.
  host_.setAcsControl("0000:3c:10.0", sim::kDefaultAcsControl);
  sim::FakeCommand inert("setpci", 2, "/bin/true");
  sim::Sandbox box = box_;
  box.path_prepend = {inert.dir()};
  const sim::Result r = sim::run(box, {systest::kP2ptool});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, warning("0000:3c:08.0") + warning("0000:3c:10.0") + warning("0000:3c:18.0"));
  EXPECT_EQ(host_.acsControl("0000:3c:10.0"), sim::kDefaultAcsControl);

  // A port that keeps ReqRedir whatever is written: read back, it is warned about.
  sim::FakeCommand sticky = sim::loggingSetpci();
  sim::keepAcsBits(sticky, "0000:3c:10.0", 0x0004);
  box.path_prepend = {sticky.dir()};
  EXPECT_EQ(sim::run(box, {systest::kP2ptool}).out,
            warning("0000:3c:08.0") + warning("0000:3c:10.0") + warning("0000:3c:18.0"));
  EXPECT_EQ(host_.acsControl("0000:3c:10.0"), 0x0015);
  box.path_prepend = {inert.dir()};

  // NO_COLOR set, even empty, or a dumb terminal: the same words without escape codes.
  for (const auto& [name, value] : {std::pair{"NO_COLOR", ""}, {"TERM", "dumb"}}) {
    const std::string saved = getenv(name) ? getenv(name) : "";
    setenv(name, value, 1);
    const sim::Result plain = sim::run(box, {systest::kP2ptool});
    saved.empty() ? unsetenv(name) : setenv(name, saved.c_str(), 1);
    EXPECT_EQ(plain.out,
              "WARNING: Failed modified and ACS 0000:3c:08.0 status is turned on\n"
              "WARNING: Failed modified and ACS 0000:3c:10.0 status is turned on\n"
              "WARNING: Failed modified and ACS 0000:3c:18.0 status is turned on\n")
        << name;
  }
}

TEST_F(AcsTest, NamesThatAreNoPciAddressNeverReachACommandLine) {
  host_.addRootPort("0000:3a:00.0", "pci0000:3a");
  host_.addSwitch("0000:3a:00.0", "0000:3b:00.0", {"0000:3c:08.0", "0000:3c:10.0"});
  host_.addGpu("0000:3d:00.0", "0000:3c:08.0");
  host_.addGpu("0000:3e:00.0", "0000:3c:10.0");
  // A switch-port directory and a device link whose names carry a command.
  const std::string evil_port = "0000:3c:08.0;touch pwned";
  const fs::path port_dir = host_.dir("0000:3c:08.0");
  fs::rename(port_dir, port_dir.parent_path() / evil_port);
  const fs::path links = fs::path(host_.sysDir()) / "bus/pci/devices";
  for (const std::string below : {"", "/0000:3d:00.0"}) {
    const std::string bdf = below.empty() ? "0000:3c:08.0" : below.substr(1);
    fs::remove(links / bdf);
    fs::create_directory_symlink(fs::relative(port_dir.parent_path() / (evil_port + below), links),
                                 links / bdf);
  }
  fs::create_directory_symlink(fs::read_symlink(links / "0000:3e:00.0"),
                               links / "0000:3e:00.0;touch pwned");
  const sim::Result plan = tool({"-n"});  // the analysis' message goes to standard error
  EXPECT_EQ(plan.status, 1);
  EXPECT_NE(plan.out.find("  0000:3d:00.0: left alone: left out by the analysis"),
            std::string::npos)
      << plan.out;
  EXPECT_NE(plan.err.find("sits below \"" + evil_port + "\""), std::string::npos) << plan.err;
  const sim::Result r = tool();
  EXPECT_EQ(r.status, 1) << r.err;  // the GPU below it is left undone
  EXPECT_EQ(r.out, "\033[31mError:\033[0m GPU 0000:3d:00.0 sits below \"" + evil_port +
                       "\", which is no PCI address; skipping it\n");
  EXPECT_NE(r.err.find("\"0000:3e:00.0;touch pwned\" in /sys/bus/pci/devices/ is no PCI address"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(acsCalls(), Calls{acsCall("0000:3c:10.0")});
  for (const auto& call : setpci_.calls()) EXPECT_EQ(call.find("pwned"), std::string::npos);
  for (const auto& call : setpci_.calls()) EXPECT_EQ(call.find("0000:3e:00.0;"), std::string::npos);
  EXPECT_EQ(host_.acsControl("0000:3c:10.0"), 0x0011);
}

TEST_F(AcsTest, APortWithoutAcsRedirectsNothingAndIsLeftAloneQuietly) {
  host_.addRootPort("0000:3a:00.0", "pci0000:3a");
  host_.addUpstreamPort("0000:3b:00.0", "0000:3a:00.0");
  sim::PortOptions no_acs;
  no_acs.acs = false;
  host_.addDownstreamPort("0000:3c:08.0", "0000:3b:00.0", no_acs);
  host_.addDownstreamPort("0000:3c:10.0", "0000:3b:00.0");
  host_.addGpu("0000:3d:00.0", "0000:3c:08.0");
  host_.addGpu("0000:3e:00.0", "0000:3c:10.0");
  const auto bare = host_.configBytes("0000:3c:08.0");
  runAndCheck({"0000:3c:10.0"}, {acsCall("0000:3c:10.0")});
  EXPECT_EQ(host_.configBytes("0000:3c:08.0"), bare);
}

}  // namespace
