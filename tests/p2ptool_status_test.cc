// p2ptool --status on the host and in a guest: verdicts, exit statuses, the
// JSON document against the text, and that nothing of the fabric changes.
#include <nlohmann/json.hpp>

#include "tests/sim/presets.h"
#include "tests/system_fixture.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr char kClosedAcs[] =
    "ACSCtl: SrcValid+ TransBlk- ReqRedir- CmpltRedir- UpstreamFwd+ EgressCtrl- DirectTrans-";
constexpr char kKernelParameter[] =
    "Kernel parameter: pci=disable_acs_redir=0000:17:00.0;0000:19:00.0;0000:3c:08.0;"
    "0000:3c:10.0;0000:5f:08.0;0000:5f:10.0\n";

bool has(const std::string& text, const std::string& line) {
  return text.find("\n  " + line + "\n") != std::string::npos;
}

// Every file below `root` with its bytes.
std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file() && !entry.is_symlink())
      files[entry.path().string()] = sim::readFile(entry.path().string());
    else
      files[entry.path().string()] = "";
  return files;
}

class StatusTest : public systest::PresetTest {
 protected:
  // Host after the default mode and -w; guest after -r with every GPU bound.
  void setUpEverything() {
    ASSERT_EQ(tool().status, 0);
    ASSERT_EQ(tool({"-w"}).status, 0);
    ASSERT_EQ(tool({"-r"}, guest_).status, 0);
    for (size_t i = 0; i < pairs_.size(); ++i)
      guest_.bindDriver(pairs_[i].first, std::to_string(i), false);
  }
};

TEST_F(StatusTest, AVerdictPerGroupAndTheKernelParameterLast) {
  const struct {
    const char* name;
    bool default_mode_first;
    uint16_t control_of_3c10;
    int status;
    const char* group_3b;
  } rows[] = {
      {"before p2ptool", false, sim::kDefaultAcsControl, 1,
       "blocked by 0000:3c:08.0, 0000:3c:10.0"},
      {"after p2ptool", true, 0, 0, "P2P ready"},
      {"one port keeps ReqRedir", true, 0x0004, 1, "blocked by 0000:3c:10.0"},
      {"TransBlk alone redirects nothing", true, 0x0002, 0, "P2P ready"},
  };
  for (const auto& row : rows) {
    if (row.default_mode_first) {
      ASSERT_EQ(tool().status, 0);
    }
    host_.setAcsControl("0000:3c:10.0", row.control_of_3c10);
    const sim::Result r = tool({"--status"});
    EXPECT_EQ(r.status, row.status) << row.name << "\n" << r.out;
    EXPECT_TRUE(
        has(r.out, std::string("0000:3b:00.0  GPUs 0000:3d:00.0 0000:3e:00.0: ") + row.group_3b))
        << row.name << "\n"
        << r.out;
    EXPECT_EQ(has(r.out, "0000:5e:00.0  GPUs 0000:60:00.0 0000:61:00.0: P2P ready"),
              row.default_mode_first)
        << row.name;
    EXPECT_TRUE(r.out.size() > strlen(kKernelParameter) &&
                r.out.compare(r.out.size() - strlen(kKernelParameter), std::string::npos,
                              kKernelParameter) == 0)
        << row.name << "\n"
        << r.out;
  }
  const sim::Result r = tool({"-s"});
  EXPECT_TRUE(has(r.out,
                  "0000:3c:10.0  ACSCtl: SrcValid- TransBlk+ ReqRedir- CmpltRedir- "
                  "UpstreamFwd- EgressCtrl- DirectTrans-"))
      << r.out;
  EXPECT_TRUE(has(r.out, std::string("0000:3c:08.0  ") + kClosedAcs));
  EXPECT_TRUE(has(r.out,
                  "0000:1c:00.0  dual-chip board  BAR0 0x00000041c0000000  group "
                  "0000:18:00.0"))
      << r.out;
  EXPECT_TRUE(has(r.out,
                  "0000:86:00.0  single chip      BAR0 0x0000004860000000  no group: "
                  "below a root port"));
}

// The board kind from the registers read-only, and exactly the ports that the
// default mode then changes.
TEST_F(StatusTest, BoardKindAndPortsAreThoseOfTheDefaultMode) {
  const struct {
    const char* name;
    uint16_t device;
    std::map<uint32_t, uint32_t> registers;
    const char* board;
  } rows[] = {
      {"single chip", sim::kSingleChipDevice, {}, "single-chip"},
      {"dual-chip product", 0x0002, {{sim::kRegBoardProduct, 12u << 25}}, "dual-chip"},
      {"own rules, not QM", 0x0210, {}, "dual-chip"},
      {"own rules, QM board", 0x0210, {{sim::kRegQmBoard, 1u << 24}}, "single-chip"},
  };
  for (const auto& row : rows) {
    sim::TempDir dir("p2p-board");
    sim::Fabric fabric(dir.path());
    fabric.addRootPort("0000:17:00.0", "pci0000:17");
    fabric.addSwitch("0000:17:00.0", "0000:18:00.0", {"0000:19:00.0"});
    fabric.addSwitch("0000:19:00.0", "0000:1a:00.0", {"0000:1b:00.0"});
    sim::GpuOptions gpu;
    gpu.device = row.device;
    gpu.registers = row.registers;
    fabric.addGpu("0000:1c:00.0", "0000:1b:00.0", gpu);
    const json status = json::parse(tool({"-s", "--json"}, fabric).out);
    EXPECT_EQ(status["host"]["gpus"][0]["board"], row.board) << row.name;
    setpci_.clear();
    ASSERT_EQ(tool({}, fabric).status, 0);
    std::vector<std::string> calls;
    for (const auto& port : status["host"]["ports"])
      calls.push_back("-s " + port["port"].get<std::string>() + " ECAP_ACS+6.w=0000:002c");
    EXPECT_EQ(calls, acsCalls()) << row.name;
  }
}

TEST_F(StatusTest, AnOfflineGpuIsReportedAndLeftOutOfItsGroup) {
  ASSERT_EQ(tool().status, 0);
  host_.markVanished("0000:3e:00.0");
  const sim::Result r = tool({"-s"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "0000:3e:00.0  offline: does not answer")) << r.out;
  EXPECT_TRUE(has(r.out, "0000:3b:00.0  GPUs 0000:3d:00.0: P2P ready")) << r.out;
}

TEST_F(StatusTest, APortWhoseAcsControlCannotBeReadBlocksItsGroup) {
  ASSERT_EQ(tool().status, 0);
  fs::resize_file(host_.dir("0000:5f:08.0") + "/config", 64);  // what a user other than root sees
  const sim::Result r = tool({"-s"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out, "0000:5f:08.0  ACS Control unreadable (run as root)")) << r.out;
  EXPECT_TRUE(has(r.out, "0000:5e:00.0  GPUs 0000:60:00.0 0000:61:00.0: blocked by 0000:5f:08.0"));
  EXPECT_TRUE(has(r.out, "0000:3b:00.0  GPUs 0000:3d:00.0 0000:3e:00.0: P2P ready"));
}

TEST_F(StatusTest, AGuestGpuWithoutPeerFileOrMinorIsNotReady) {
  setUpEverything();
  const struct {
    const char* name;
    std::function<void()> spoil;
    const char* verdict_of_06;
  } rows[] = {
      {"all set", [] {}, "ready"},
      {"no peer file", [&] { fs::remove(peerFile("0000:00:06.0")); }, "not ready: no peer file"},
      {"no minor either", [&] { fs::remove(guest_.dir("0000:00:06.0") + "/minor"); },
       "not ready: no peer file, no minor"},
  };
  for (const auto& row : rows) {
    row.spoil();
    const sim::Result r = tool({"-s"}, guest_);
    EXPECT_EQ(r.status, std::string(row.verdict_of_06) == "ready" ? 0 : 1) << row.name;
    const std::string block = "  0000:00:06.0\n    exchange table: 5 words\n";
    const size_t at = r.out.find(block);
    ASSERT_NE(at, std::string::npos) << r.out;
    const size_t verdict = r.out.find("\n    " + std::string(row.verdict_of_06) + "\n", at);
    EXPECT_LT(verdict, r.out.find("  0000:00:07.0\n")) << row.name << "\n" << r.out;
  }
}

TEST_F(StatusTest, TheJsonDocumentCarriesWhatTheTextSays) {
  ASSERT_EQ(tool().status, 0);
  host_.setAcsControl("0000:5f:08.0", 0x0008);  // CmpltRedir
  const sim::Result text = tool({"-s"});
  const sim::Result doc = tool({"-s", "--json"});
  EXPECT_EQ(doc.status, text.status);
  const json status = json::parse(doc.out);
  EXPECT_EQ(status["ready"], false);
  EXPECT_TRUE(status["guest"].is_null());
  for (const auto& gpu : status["host"]["gpus"]) {
    const std::string bdf = gpu["bdf"];
    const bool grouped = !gpu["group"].is_null();
    char bar0[32];
    snprintf(bar0, sizeof bar0, "BAR0 0x%016llx",
             std::stoull(gpu["bar0"].get<std::string>(), 0, 16));
    EXPECT_NE(text.out.find("  " + bdf + "  " +
                            (gpu["board"] == "dual-chip" ? "dual-chip board" : "single chip    ") +
                            "  " + bar0 + "  " +
                            (grouped ? "group " + gpu["group"].get<std::string>()
                                     : std::string("no group: below a root port"))),
              std::string::npos)
        << gpu.dump();
  }
  for (const auto& port : status["host"]["ports"])
    EXPECT_TRUE(has(text.out, port["port"].get<std::string>() +
                                  "  ACSCtl: " + port["acs_decoded"].get<std::string>()))
        << port.dump();
  for (const auto& group : status["host"]["groups"]) {
    std::string line = group["key"].get<std::string>() + "  GPUs";
    for (const auto& gpu : group["gpus"]) line += " " + gpu.get<std::string>();
    line += group["ready"] ? ": P2P ready" : ": blocked by 0000:5f:08.0";
    EXPECT_TRUE(has(text.out, line)) << line << "\n" << text.out;
  }
  EXPECT_EQ("Kernel parameter: " + status["host"]["kernel_parameter"].get<std::string>() + "\n",
            kKernelParameter);
}

TEST_F(StatusTest, TheGuestJsonDecodesThePeerFiles) {
  setUpEverything();
  const sim::Result doc = tool({"-s", "--json"}, guest_);
  EXPECT_EQ(doc.status, 0) << doc.out;
  const json status = json::parse(doc.out);
  ASSERT_EQ(status["guest"]["gpus"].size(), pairs_.size());
  const json& first = status["guest"]["gpus"][0];  // 0000:00:05.0, host 0000:1c:00.0
  EXPECT_EQ(first["minor"], "0");
  EXPECT_EQ(first["driver"], "tamberon");
  EXPECT_EQ(first["peer_file"]["self"], sim::packBdf("0000:1c:00.0"));
  EXPECT_EQ(first["peer_file"]["peers"][1]["packed"], sim::packBdf("0000:1d:00.0"));
  EXPECT_EQ(std::stoull(first["peer_file"]["peers"][1]["address"].get<std::string>(), 0, 16),
            host_.bar0("0000:1d:00.0"));
}

TEST_F(StatusTest, StatusChangesNoByteAndStartsNoProcess) {
  setUpEverything();
  host_.setAcsControl("0000:3c:10.0", sim::kDefaultAcsControl);
  const auto host_before = snapshot(dir_.path());
  const auto guest_before = snapshot(guest_dir_.path());
  const auto etc_before = snapshot(etc_.path());
  const size_t setpci_before = setpci_.calls().size();
  for (const auto& args : {std::vector<std::string>{"-s"}, {"-s", "--json"}}) {
    EXPECT_EQ(tool(args).status, 1);
    EXPECT_EQ(tool(args, guest_).status, 0);
    EXPECT_EQ(tool(args, host_, systest::kNobody).status, 1);  // any user may ask
  }
  EXPECT_TRUE(snapshot(dir_.path()) == host_before);
  EXPECT_TRUE(snapshot(guest_dir_.path()) == guest_before);
  EXPECT_TRUE(snapshot(etc_.path()) == etc_before);
  EXPECT_EQ(setpci_.calls().size(), setpci_before);
}

TEST_F(StatusTest, UsageErrorsExitWithTwoAndVersionWithZero) {
  for (const auto& args :
       {std::vector<std::string>{"--json"}, {"-s", "-w"}, {"-r", "--status"}, {"-s", "--bogus"}}) {
    const sim::Result r = tool(args, host_, systest::kNobody);
    EXPECT_EQ(r.status, 2) << args.front() << " " << args.back();
    EXPECT_EQ(r.out, "");
  }
  const sim::Result r = tool({"--version"}, host_, systest::kNobody);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "p2ptool " P2P_VERSION "\n");
}

}  // namespace
