// p2ptool --status on the host and in a guest: verdicts, exit statuses, the
// JSON document against the text, and that nothing of the fabric changes.
#include <nlohmann/json.hpp>

#include <chrono>
#include <regex>
#include <set>

#include "tests/sim/guest_process.h"
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

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// What the line below host GPU `gpu` says of its table ("" when no such line).
std::string tableOf(const std::string& out, const std::string& gpu) {
  const std::string prefix = "\n    table: ";
  const size_t line = out.find('\n', out.find("\n  " + gpu + "  ") + 1);
  if (line == std::string::npos || out.compare(line, prefix.size(), prefix) != 0) return "";
  const size_t start = line + prefix.size();
  return out.substr(start, out.find('\n', start) - start);
}

// The lines of guest GPU `gpu` ("  guest <gpu>" and those below) in the
// report, each ending in '\n'.
std::string guestBlock(const std::string& out, const std::string& gpu) {
  const size_t at = out.find("\n  guest " + gpu + "\n");
  if (at == std::string::npos) return "";
  size_t end = out.find('\n', at + 1);
  while (end != std::string::npos && out.compare(end + 1, 4, "    ") == 0)
    end = out.find('\n', end + 1);
  return out.substr(at + 1, end - at);
}

// The cells of the P2P matrix under `title` ("P2P matrix:"): {row, column} -> cell.
std::map<std::pair<std::string, std::string>, std::string> matrixOf(const std::string& out,
                                                                    const std::string& title) {
  static const std::regex kGap(" {2,}");
  std::map<std::pair<std::string, std::string>, std::string> cells;
  const size_t at = out.find("\n" + title + "\n");
  if (at == std::string::npos) return cells;
  std::istringstream lines(out.substr(at + title.size() + 2));
  std::string line;
  std::getline(lines, line);
  std::vector<std::string> columns(std::sregex_token_iterator(line.begin(), line.end(), kGap, -1),
                                   {});
  while (std::getline(lines, line) && line.rfind("  ", 0) == 0) {
    std::vector<std::string> row(std::sregex_token_iterator(line.begin(), line.end(), kGap, -1),
                                 {});
    for (size_t i = 2; i < row.size() && i - 1 < columns.size(); ++i)
      cells[{row[1], columns[i - 1]}] = row[i];
  }
  return cells;
}

std::string hexText(uint64_t value, int digits) {
  char text[24];
  snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
  return text;
}

const char* flag(bool value) { return value ? "1" : "0"; }

// The value of `name` among metric `series`; "absent" when it has none.
std::string seriesValue(const std::map<std::string, std::string>& series, const std::string& name) {
  const auto found = series.find(name);
  return found == series.end() ? "absent" : found->second;
}

// The report with every local time as "T".
std::string withoutTimes(const std::string& text) {
  static const std::regex kLocalTime("[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}");
  return std::regex_replace(text, kLocalTime, "T");
}

bool hasArgument(const std::vector<std::string>& args, const std::string& wanted) {
  return std::find(args.begin(), args.end(), wanted) != args.end();
}

class StatusTest : public systest::PresetTest {
 protected:
  // p2ptool as FabricTest runs it. A report (-s, text or JSON) is asked for
  // as metrics too: they exit as the report did and promtool finds no problem.
  sim::Result tool(const std::vector<std::string>& args, const sim::Fabric& fabric, uid_t uid = 0,
                   const std::vector<std::string>& prefix = {}) {
    const sim::Result r = FabricTest::tool(args, fabric, uid, prefix);
    const bool report = hasArgument(args, "-s") || hasArgument(args, "--status");
    if (report && r.status != 2 && !hasArgument(args, "--metrics"))
      checkMetrics(args, fabric, uid, prefix, r.status);
    return r;
  }
  sim::Result tool(const std::vector<std::string>& args = {}) { return tool(args, host_); }

  void checkMetrics(std::vector<std::string> args, const sim::Fabric& fabric, uid_t uid,
                    const std::vector<std::string>& prefix, int status) {
    args.erase(std::remove(args.begin(), args.end(), "--json"), args.end());
    args.insert(args.end(), {"--metrics", "-"});
    const sim::Result metrics = FabricTest::tool(args, fabric, uid, prefix);
    EXPECT_EQ(metrics.status, status) << metrics.err;
    metrics_ = systest::metricSeries(metrics.out);
    const sim::Result check = sim::run({}, {"promtool", "check", "metrics"}, metrics.out);
    if (check.status == sim::kNotFoundStatus && !systest::inCi()) return;  // scripts/deps check
    EXPECT_EQ(check.status, 0) << check.out << check.err << metrics.out;
  }

  // Host after the default mode and -w; guest after -r with every GPU bound.
  void setUpGuest() {
    ASSERT_EQ(tool().status, 0);
    ASSERT_EQ(tool({"-w"}).status, 0);
    ASSERT_EQ(tool({"-r"}, guest_).status, 0);
    for (size_t i = 0; i < pairs_.size(); ++i)
      guest_.bindDriver(pairs_[i].first, std::to_string(i), false);
  }
  // ... and one pass of p2pwatch over them.
  void setUpEverything() {
    setUpGuest();
    runPass();
  }
  // p2pwatch in the guest, stopped once its start-up pass is recorded.
  void runPass() {
    sim::Sandbox box = box_;
    box.sys = guest_.sysDir();
    systest::Daemon watch(box, {systest::kP2pwatch});
    ASSERT_TRUE(systest::eventually([&] { return fs::exists(record()); })) << watch.err();
  }
  std::string record() const { return run_.path() + "/p2pwatch/status"; }
  // The value of a series in the metrics of the last report; "absent" when none.
  std::string metric(const std::string& series) const { return seriesValue(metrics_, series); }

  std::map<std::string, std::string> metrics_;  // of the last report
};

TEST_F(StatusTest, AVerdictPerGroupAndTheKernelParameterLast) {
  ASSERT_EQ(tool({"-w"}).status, 0);  // every table current: the ports decide
  const struct {
    const char* name;
    bool default_mode_first;
    uint16_t control_of_3c10;
    int status;
    const char* group_3b;
    const char* pair_3d_3e;  // its cell in the P2P matrix
  } rows[] = {
      {"before p2ptool", false, sim::kDefaultAcsControl, 1, "blocked by 0000:3c:08.0, 0000:3c:10.0",
       "PIX RD"},
      {"after p2ptool", true, 0, 0, "P2P ready", "PIX OK"},
      {"ReqRedir alone", true, 0x0004, 1, "blocked by 0000:3c:10.0", "PIX RD"},
      {"CmpltRedir alone", true, 0x0008, 1, "blocked by 0000:3c:10.0", "PIX RD"},
      {"EgressCtrl alone", true, 0x0020, 1, "blocked by 0000:3c:10.0", "PIX RD"},
      {"every bit but those three", true, 0xFFD3, 0, "P2P ready", "PIX OK"},
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
    const auto matrix = matrixOf(r.out, "P2P matrix:");
    EXPECT_EQ(matrix.at({"0000:3d:00.0", "0000:3e:00.0"}), row.pair_3d_3e) << row.name;
    EXPECT_EQ(matrix.at({"0000:3e:00.0", "0000:3d:00.0"}), row.pair_3d_3e) << row.name;
    // The pair's line names the port the default mode clears, with its command.
    EXPECT_EQ(has(r.out,
                  "  0000:3c:10.0: p2ptool clears it (setpci -s 0000:3c:10.0 "
                  "ECAP_ACS+6.w=0000:002c > /dev/null 2>&1)"),
              row.pair_3d_3e == std::string("PIX RD"))
        << row.name;
    EXPECT_EQ(metric("p2ptool_group_ready{group=\"0000:3b:00.0\"}"),
              flag(row.group_3b == std::string("P2P ready")))
        << row.name;
    EXPECT_EQ(metric("p2ptool_port_redirect{port=\"0000:3c:10.0\"}"),
              flag((row.control_of_3c10 & 0x2C) != 0))
        << row.name;
    EXPECT_TRUE(r.out.size() > strlen(kKernelParameter) &&
                r.out.compare(r.out.size() - strlen(kKernelParameter), std::string::npos,
                              kKernelParameter) == 0)
        << row.name << "\n"
        << r.out;
  }
  const sim::Result r = tool({"-s"});
  EXPECT_TRUE(has(r.out,
                  "0000:3c:10.0  ACSCtl: SrcValid+ TransBlk+ ReqRedir- CmpltRedir- "
                  "UpstreamFwd+ EgressCtrl- DirectTrans+"))
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
  ASSERT_EQ(tool({"-w"}).status, 0);
  host_.markVanished("0000:3e:00.0");
  for (const uid_t uid : {uid_t{0}, systest::kNobody}) {  // 64 bytes of all ones tell anyone
    const sim::Result r = tool({"-s"}, host_, uid);
    EXPECT_EQ(r.status, 1) << uid;
    EXPECT_TRUE(has(r.out, "0000:3e:00.0  offline: does not answer")) << r.out;
  }
  const sim::Result r = tool({"-s"});
  EXPECT_EQ(tableOf(r.out, "0000:3d:00.0"),
            "stale, BAR0 or members changed since (run p2ptool -w)");
  EXPECT_TRUE(has(r.out, "0000:3b:00.0  GPUs 0000:3d:00.0: no current table: 0000:3d:00.0"))
      << r.out;
}

TEST_F(StatusTest, APortThatCannotBeReadMakesItsGroupUnknownAndStaysInTheParameter) {
  ASSERT_EQ(tool().status, 0);
  ASSERT_EQ(tool({"-w"}).status, 0);
  const std::string port = "0000:5f:08.0";
  const std::string config = host_.dir(port) + "/config";
  const std::string group = "0000:5e:00.0  GPUs 0000:60:00.0 0000:61:00.0: ";
  const struct {
    const char* name;
    std::function<void()> spoil;
    const char* port_line;
    const char* verdict;
    int status;
  } rows[] = {
      {"64 bytes as root", [&] { fs::resize_file(config, 64); },
       "ACS Control unreadable (configuration space of 64 bytes)", "ACS Control unknown: ", 3},
      {"vanished", [&] { host_.markVanished(port); }, "ACS Control unreadable (does not answer)",
       "ACS Control unknown: ", 3},
      {"no config file", [&] { fs::remove(config); }, "ACS Control unreadable (missing)",
       "ACS Control unknown: ", 3},
      {"4096 bytes without an ACS capability",
       [&] { fs::copy_file(host_.dir("0000:5e:00.0") + "/config", config); }, "no ACS capability",
       nullptr, 0},
      {"4095 bytes", [&] { fs::resize_file(config, 4095); },
       "ACS Control unreadable (configuration space of 4095 bytes)", "ACS Control unknown: ", 3},
      {"256 bytes: no extended space",
       [&] {
         fs::copy_file(host_.dir("0000:5f:10.0") + "/config", config,
                       fs::copy_options::overwrite_existing);
         fs::resize_file(config, 256);
       },
       "ACS Control unreadable (configuration space of 256 bytes)", "ACS Control unknown: ", 3},
  };
  for (const auto& row : rows) {
    row.spoil();
    const sim::Result r = tool({"-s"});
    EXPECT_EQ(r.status, row.status) << row.name;
    EXPECT_TRUE(has(r.out, port + "  " + row.port_line)) << row.name << "\n" << r.out;
    EXPECT_TRUE(has(r.out, group + (row.verdict ? row.verdict + port : "P2P ready"))) << row.name;
    EXPECT_EQ(metric("p2ptool_port_unknown{port=\"" + port + "\"}"), flag(row.verdict != nullptr))
        << row.name;
    EXPECT_EQ(metric("p2ptool_group_ready{group=\"0000:5e:00.0\"}"), flag(row.verdict == nullptr))
        << row.name;
    EXPECT_EQ(metric("p2ptool_state{state=\"unknown\"}"), flag(row.status == 3)) << row.name;
    const size_t parameter = r.out.rfind("Kernel parameter: ");
    EXPECT_EQ(r.out.find(port, parameter) != std::string::npos, row.verdict != nullptr) << row.name;
  }
}

// Each guest GPU's window, peer file, minor and p2pwatch's last pass; spoilt
// before that pass (phase 0) or after it (phase 1).
TEST_F(StatusTest, AGuestGpuWithoutAUsablePeerFileOrMinorIsNotReady) {
  setUpGuest();
  const sim::Result before = tool({"-s"}, guest_);  // before any pass
  EXPECT_EQ(before.status, 1);
  EXPECT_NE(
      guestBlock(before.out, "0000:00:05.0")
          .find("    no record of p2pwatch: is p2pwatch running? (systemctl status p2pwatch)\n"
                "    not ready: no record of p2pwatch\n"),
      std::string::npos)
      << before.out;
  const auto resizePeer = [&](const char* gpu, size_t size) {
    return [this, gpu, size] { fs::resize_file(peerFile(gpu), size); };
  };
  const std::string missing = "failed at T: peer configuration file /etc/qz/vm_p2p_cfg/";
  const std::string programmed = "programmed at T with ";
  const struct {
    const char* gpu;
    int phase;
    std::function<void()> spoil;
    std::string pass;  // the p2pwatch line after "p2pwatch: "
    const char* verdict;
  } rows[] = {
      {"0000:00:05.0", 0, [] {}, programmed + "1 peer", "ready"},  // its pair member failed
      {"0000:00:06.0", 0, [&] { fs::remove(peerFile("0000:00:06.0")); },
       missing + "0000:00:06.0 is missing", "not ready: no peer file, p2pwatch failed"},
      {"0000:00:07.0", 0, [&] { fs::remove(guest_.dir("0000:00:07.0") + "/minor"); },
       "failed at T: minor file /sys/bus/pci/drivers/tamberon/0000:00:07.0/minor: No such file or "
       "directory",
       "not ready: no minor, p2pwatch failed"},
      {"0000:00:08.0", 0, resizePeer("0000:00:08.0", 0), missing + "0000:00:08.0 is malformed",
       "not ready: peer file malformed, p2pwatch failed"},
      // Five words of a group of two: one byte short of them, and one past.
      {"0000:00:09.0", 0, resizePeer("0000:00:09.0", 39), missing + "0000:00:09.0 is malformed",
       "not ready: peer file malformed, p2pwatch failed"},
      {"0000:00:0a.0", 0, resizePeer("0000:00:0a.0", 41), programmed + "1 peer", "ready"},
      {"0000:00:05.0", 1,
       [&] {  // edited by hand: another address for its pair member
         std::fstream file(peerFile("0000:00:05.0"),
                           std::ios::in | std::ios::out | std::ios::binary);
         file.seekp(4 * sizeof(uint64_t));
         file.write("\x01", 1);
       },
       programmed + "1 peer",
       "not ready: peer file differs from the exchange table, peer file newer than p2pwatch's last "
       "pass"},
      {"0000:00:0a.0", 1,
       [&] {
         fs::remove(peerFile("0000:00:0a.0"));
         ASSERT_EQ(mkfifo(peerFile("0000:00:0a.0").c_str(), 0644), 0);
       },
       programmed + "1 peer", "not ready: peer file not a regular file"},
  };
  for (const int phase : {0, 1}) {
    for (const auto& row : rows)
      if (row.phase == phase) row.spoil();
    if (phase == 0) runPass();
    const auto start = std::chrono::steady_clock::now();
    const sim::Result r = tool({"-s"}, guest_);
    // A FIFO is never opened for reading: the run ends at once, far below the sandbox's 60 s.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count(),
              5000);
    EXPECT_EQ(r.status, 1);
    for (const auto& row : rows) {
      if (row.phase != phase) continue;
      const std::string block = withoutTimes(guestBlock(r.out, row.gpu));
      EXPECT_NE(block.find("    exchange table: 5 words\n"), std::string::npos) << block;
      EXPECT_NE(block.find("\n    p2pwatch: " + row.pass + "\n    "), std::string::npos)
          << row.gpu << "\n"
          << block;
      EXPECT_TRUE(endsWith(block, "\n    " + std::string(row.verdict) + "\n")) << row.gpu << "\n"
                                                                               << r.out;
      const std::string label = std::string("{gpu=\"") + row.gpu + "\"}";
      EXPECT_EQ(metric("p2ptool_gpu_programmed" + label), flag(row.verdict == std::string("ready")))
          << row.gpu;
      EXPECT_EQ(metric("p2ptool_gpu_programmed_timestamp_seconds" + label) != "absent",
                row.pass.rfind("programmed", 0) == 0)
          << row.gpu;
    }
  }
  // A minor file that holds no number, nor UTF-8: quoted in the text, replaced in the document.
  std::ofstream(guest_.dir("0000:00:05.0") + "/minor") << "\xff\xfe\n";
  const sim::Result text = tool({"-s"}, guest_);
  const std::string block = guestBlock(text.out, "0000:00:05.0");
  EXPECT_NE(block.find("    driver: tamberon, minor \"\\xff\\xfe\" is no number\n"),
            std::string::npos)
      << text.out;
  EXPECT_TRUE(endsWith(block,
                       "    not ready: peer file differs from the exchange table, minor is no "
                       "number, peer file newer than p2pwatch's last pass\n"))
      << block;
  const sim::Result doc = tool({"-s", "--json"}, guest_);
  EXPECT_EQ(doc.status, 1);
  const json status = json::parse(doc.out);
  EXPECT_EQ(status["guest"]["gpus"][0]["minor"], "\xef\xbf\xbd\xef\xbf\xbd");  // U+FFFD twice
  EXPECT_EQ(status["guest"]["gpus"][5]["minor"], 5);
  EXPECT_EQ(status["guest"]["gpus"][0]["state"], "not ready");
  // A record only root may read is unknown to another user, not missing.
  fs::permissions(run_.path() + "/p2pwatch", fs::perms(0700));
  EXPECT_NE(guestBlock(tool({"-s"}, guest_, systest::kNobody).out, "0000:00:0a.0")
                .find("    p2pwatch: record /run/p2pwatch/status unknown (run as root)\n"),
            std::string::npos);
}

// A record that is there but cannot be used says why and is not ready; its
// bytes never reach the terminal. A pass time after now is shown as such.
TEST_F(StatusTest, ARecordThatCannotBeUsedSaysWhyAndATimeAheadIsShown) {
  setUpEverything();
  const std::string good = sim::readFile(record());
  const std::string gpu_line = good.substr(good.find("\ngpu\t0000:00:05.0\t") + 1);
  const std::string first_gpu = gpu_line.substr(0, gpu_line.find('\n') + 1);
  const std::string far = "99999999999999999.000000000";  // no calendar holds its year
  const std::string soon = std::to_string(time(nullptr) + 86400) + ".000000000";
  const auto timed = [&](const std::string& when) {
    std::string gpu = first_gpu;
    const size_t at = gpu.find('\t', gpu.find('\t') + 1) + 1;
    gpu.replace(at, gpu.find('\t', at) - at, when);
    return "p2pwatch status 1\npass " + when + "\n" + gpu;
  };
  const std::string cannot = "p2pwatch: record /run/p2pwatch/status cannot be read: ";
  const struct {
    std::string record;  // "/": a directory in its place
    std::string line;    // the p2pwatch line, after "    "
    bool broken;         // else programmed
  } rows[] = {
      {"p2pwatch status 7\npass 0.000000000\n", cannot + "unknown format version 7", true},
      {"\033[2J\x01\xff\n", cannot + "not a record of p2pwatch", true},
      {good.substr(0, good.size() - 1), cannot + "truncated", true},
      {"/", cannot + "not a regular file", true},
      {timed(far), "p2pwatch: programmed at " + far + " s since 1970 (in the future) with 2 peers",
       false},
      {timed(soon), "p2pwatch: programmed at T (in the future) with 2 peers", false},
  };
  for (const auto& row : rows) {
    const std::string verdict =
        row.broken ? "not ready: record of p2pwatch cannot be read" : "ready";
    const char* state = row.broken ? "broken" : "programmed";  // in the document
    fs::remove_all(record());
    if (row.record == "/")
      fs::create_directory(record());
    else
      std::ofstream(record(), std::ios::binary) << row.record;
    const sim::Result r = tool({"-s"}, guest_);
    const std::string block = withoutTimes(guestBlock(r.out, "0000:00:05.0"));
    EXPECT_NE(block.find("\n    " + row.line + "\n"), std::string::npos) << block;
    EXPECT_TRUE(endsWith(block, "\n    " + verdict + "\n")) << block;
    EXPECT_EQ(r.out.find_first_of(std::string("\033\x01\xff", 3)), std::string::npos) << r.out;
    const json gpu = json::parse(tool({"-s", "--json"}, guest_).out)["guest"]["gpus"][0];
    EXPECT_EQ(gpu["p2pwatch"]["state"], state) << row.line;
    if (row.broken)
      EXPECT_EQ(cannot + gpu["p2pwatch"]["reason"].get<std::string>(), row.line);
    else
      EXPECT_EQ(gpu["p2pwatch"]["time"], row.record.substr(23, row.record.find('\n', 23) - 23));
  }
}

// Two GPUs whose peer files name one host GPU, or whose minor files hold one
// minor, are judged as p2pwatch judges them: neither is ready.
TEST_F(StatusTest, GuestGpusClaimingOneHostGpuOrOneMinorAreNotReady) {
  setUpEverything();
  fs::copy_file(peerFile("0000:00:05.0"), peerFile("0000:00:06.0"),
                fs::copy_options::overwrite_existing);
  std::ofstream(guest_.dir("0000:00:08.0") + "/minor") << "2\n";  // that of 0000:00:07.0
  // A GPU without a minor of its own has no say: p2pwatch never reads its file.
  fs::copy_file(peerFile("0000:00:09.0"), peerFile("0000:00:08.0"),
                fs::copy_options::overwrite_existing);
  const sim::Result r = tool({"-s"}, guest_);
  EXPECT_EQ(r.status, 1);
  const std::string peers = "peer configuration file /etc/qz/vm_p2p_cfg/";
  const std::string minors = "minor file /sys/bus/pci/drivers/tamberon/";
  const std::pair<const char*, std::string> conflicts[] = {
      {"0000:00:05.0",
       peers + "0000:00:05.0 names host GPU 0000:1c:00.0, as does " + peers + "0000:00:06.0"},
      {"0000:00:06.0",
       peers + "0000:00:06.0 names host GPU 0000:1c:00.0, as does " + peers + "0000:00:05.0"},
      {"0000:00:07.0",
       minors + "0000:00:07.0/minor holds 2, as does " + minors + "0000:00:08.0/minor"},
      {"0000:00:08.0",
       minors + "0000:00:08.0/minor holds 2, as does " + minors + "0000:00:07.0/minor"}};
  for (const auto& [gpu, conflict] : conflicts) {
    const std::string block = guestBlock(r.out, gpu);
    EXPECT_NE(block.find("\n    conflict: " + conflict + "\n    not ready: "), std::string::npos)
        << block;
    EXPECT_NE(block.find("claims what another GPU claims\n"), std::string::npos) << block;
  }
  EXPECT_TRUE(endsWith(guestBlock(r.out, "0000:00:09.0"), "\n    ready\n")) << r.out;
  const json doc = json::parse(tool({"-s", "--json"}, guest_).out);
  EXPECT_EQ(doc["guest"]["gpus"][0]["conflicts"], json::array({conflicts[0].second}));
  EXPECT_EQ(doc["guest"]["gpus"][4]["conflicts"], json::array());
}

// The metrics of one check against its document, fact by fact, and what the
// text says of each group.
void expectMetricsSayWhatTheDocumentSays(const json& status, const std::string& metrics,
                                         const std::string& text) {
  const auto series = systest::metricSeries(metrics);
  const auto value = [&](const std::string& name) { return seriesValue(series, name); };
  for (const std::string state : {"ready", "not_ready", "unknown"})
    EXPECT_EQ(value("p2ptool_state{state=\"" + state + "\"}"),
              flag(std::regex_replace(state, std::regex("_"), " ") == status["state"]));
  EXPECT_EQ(value("p2ptool_info{version=\"" + status["version"].get<std::string>() + "\"}"), "1");
  EXPECT_EQ(static_cast<time_t>(std::stod(value("p2ptool_check_timestamp_seconds"))),
            systest::isoSeconds(status["time"]));
  EXPECT_EQ(value("p2ptool_role{role=\"host\"}"), "1");
  EXPECT_EQ(value("p2ptool_role{role=\"guest\"}"), "0");
  const json& host = status["host"];
  EXPECT_EQ(value("p2ptool_gpus"), std::to_string(host["gpus"].size()));
  EXPECT_EQ(value("p2ptool_groups"), std::to_string(host["groups"].size()));
  EXPECT_EQ(value("p2ptool_ports"), std::to_string(host["ports"].size()));
  size_t count = 10 + host["groups"].size() + host["gpus"].size() + 2 * host["ports"].size();
  for (const json& group : host["groups"]) {
    const std::string key = group["key"];
    const bool ready = group["state"] == "ready";
    EXPECT_EQ(value("p2ptool_group_ready{group=\"" + key + "\"}"), flag(ready)) << key;
    const size_t line = text.find("\n  " + key + "  GPUs ");
    ASSERT_NE(line, std::string::npos) << key;
    EXPECT_EQ(endsWith(text.substr(0, text.find('\n', line + 1)), ": P2P ready"), ready) << key;
  }
  const std::map<std::string, std::string> table_states = {
      {"current", "current"},     {"missing", "missing"},    {"stale", "stale"},
      {"malformed", "malformed"}, {"unreadable", "unknown"}, {"left-out", "left_out"}};
  for (const json& gpu : host["gpus"]) {
    const std::string label = "gpu=\"" + gpu["bdf"].get<std::string>() + "\"";
    const bool in_use = gpu["tenants"].is_null() || !gpu["tenants"].empty();
    EXPECT_EQ(value("p2ptool_gpu_in_use{" + label + "}"), flag(in_use)) << label;
    if (gpu["table"].is_null()) continue;
    count += table_states.size();
    for (const auto& [named, state] : table_states)
      EXPECT_EQ(value("p2ptool_gpu_table_state{" + label + ",state=\"" + state + "\"}"),
                flag(gpu["table"]["state"] == named))
          << label << " " << state;
  }
  for (const json& port : host["ports"]) {
    const std::string label = "{port=\"" + port["port"].get<std::string>() + "\"}";
    EXPECT_EQ(value("p2ptool_port_redirect" + label), flag(port["redirects"].get<bool>())) << label;
    EXPECT_EQ(value("p2ptool_port_unknown" + label), flag(port["state"] == "unreadable")) << label;
  }
  EXPECT_EQ(series.size(), count) << metrics;
}

TEST_F(StatusTest, TheJsonDocumentCarriesWhatTheTextSays) {
  ASSERT_EQ(tool().status, 0);
  ASSERT_EQ(tool({"-w"}).status, 0);
  host_.setAcsControl("0000:5f:08.0", 0x0008);                    // CmpltRedir
  host_.writeWindowWords("0000:60:00.0", sim::kAreaOffset, {0});  // never written
  host_.writeWindowWords("0000:3d:00.0", sim::kAreaOffset,
                         {33ULL << 32});  // a count -w never writes
  const auto holder = guest(host_.bindVfio("0000:61:00.0", 7, dev_.path()));
  const sim::Result text = tool({"-s"});
  sim::TempDir dir("p2p-metrics");
  const time_t before = time(nullptr);
  const sim::Result doc = tool({"-s", "--json", "--metrics", dir / "p2ptool.prom"});
  const time_t after = time(nullptr);
  EXPECT_EQ(text.status, 1);
  EXPECT_EQ(doc.status, 1);
  const json status = json::parse(doc.out);
  EXPECT_EQ(status["schema_version"], 1);
  EXPECT_EQ(status["kind"], "report");
  EXPECT_EQ(status["version"], P2P_VERSION);
  char hostname[256] = {};
  ASSERT_EQ(gethostname(hostname, sizeof hostname - 1), 0);
  EXPECT_EQ(status["hostname"], hostname);
  EXPECT_TRUE(systest::isoSeconds(status["time"]) >= before &&
              systest::isoSeconds(status["time"]) <= after)
      << status["time"];
  expectMetricsSayWhatTheDocumentSays(status, sim::readFile(dir / "p2ptool.prom"), text.out);
  EXPECT_EQ(status["state"], "not ready");
  EXPECT_TRUE(status["guest"].is_null());
  const auto joined = [](const json& list, const char* separator) {
    std::string text;
    for (const auto& item : list) text += (text.empty() ? "" : separator) + item.get<std::string>();
    return text;
  };
  for (const auto& gpu : status["host"]["gpus"]) {
    const std::string bdf = gpu["bdf"];
    const bool grouped = !gpu["group"].is_null();
    const std::string bar0 = "BAR0 0x" + gpu["bar0"].get<std::string>().substr(2);
    EXPECT_NE(text.out.find("  " + bdf + "  " +
                            (gpu["board"] == "dual-chip" ? "dual-chip board" : "single chip    ") +
                            "  " + bar0 + "  " +
                            (grouped ? "group " + gpu["group"].get<std::string>()
                                     : std::string("no group: below a root port"))),
              std::string::npos)
        << gpu.dump();
    if (!grouped) continue;
    const json& table = gpu["table"];
    EXPECT_EQ(tableOf(text.out, bdf).rfind(table["state"].get<std::string>(), 0), 0u) << bdf;
    if (table["state"] == "malformed") {
      EXPECT_NE(text.out.find("      -w would write:  " + joined(table["expected"], " ")),
                std::string::npos);
    }
  }
  for (const auto& port : status["host"]["ports"]) {
    const std::string name = port["port"];
    EXPECT_TRUE(has(text.out, name + "  ACSCtl: " + port["acs_decoded"].get<std::string>()));
    // p2ptool cleared the redirect bits of 0x001d and kept the rest.
    EXPECT_EQ(port["acs_control"], name == "0000:5f:08.0" ? "0x0008" : "0x0011");
  }
  for (const auto& group : status["host"]["groups"]) {
    std::string line = group["key"].get<std::string>() + "  GPUs " + joined(group["gpus"], " ");
    std::vector<std::string> reasons;
    if (!group["blocking"].empty())
      reasons.push_back("blocked by " + joined(group["blocking"], ", "));
    if (!group["tables_not_current"].empty())
      reasons.push_back("no current table: " + joined(group["tables_not_current"], ", "));
    line += ": " + (group["state"] == "ready" ? "P2P ready" : joined(json(reasons), "; "));
    EXPECT_TRUE(has(text.out, line)) << line << "\n" << text.out;
  }
  EXPECT_EQ("Kernel parameter: " + status["host"]["kernel_parameter"].get<std::string>() + "\n",
            kKernelParameter);
  EXPECT_TRUE(status["host"]["kernel_parameter_unknown"].is_null());
  // Every pair once, as its cell in the matrix says, both ways.
  const auto matrix = matrixOf(text.out, "P2P matrix:");
  const std::map<std::string, std::string> codes = {
      {"board", "BRD"},           {"switch", "PIX"},          {"switches", "PXB"},
      {"root-complex", "PHB"},    {"redirected", "RD"},       {"not-in-one-group", "NG"},
      {"no-current-table", "NT"}, {"different-guests", "VM"}, {"unknown", "??"}};
  const size_t gpus = status["host"]["gpus"].size();
  ASSERT_EQ(status["host"]["pairs"].size(), gpus * (gpus - 1) / 2);
  std::map<std::string, json> pairs;
  for (const auto& pair : status["host"]["pairs"]) {
    const bool ok = pair["reasons"].empty();
    EXPECT_EQ(pair["state"], ok ? "ok" : "not ok");
    const std::string cell =
        codes.at(pair["connection"]) + " " + (ok ? "OK" : codes.at(pair["reasons"][0]));
    EXPECT_EQ(matrix.at({pair["a"], pair["b"]}), cell) << pair.dump();
    EXPECT_EQ(matrix.at({pair["b"], pair["a"]}), cell) << pair.dump();
    pairs[pair["a"].get<std::string>() + " " + pair["b"].get<std::string>()] = pair;
  }
  const json& blocked = pairs.at("0000:60:00.0 0000:61:00.0");
  EXPECT_EQ(blocked["reasons"], json::array({"redirected", "no-current-table"}));
  EXPECT_EQ(blocked["tables_not_current"], json::array({"0000:60:00.0"}));
  EXPECT_EQ(blocked["ports"][0]["port"], "0000:5f:08.0");
  EXPECT_EQ(blocked["ports"][0]["redirects"], true);
  EXPECT_EQ(blocked["ports"][0]["by_design"], false);
  EXPECT_EQ(blocked["ports"][0]["command"],
            "setpci -s 0000:5f:08.0 ECAP_ACS+6.w=0000:002c > /dev/null 2>&1");
  // The host preset's board: own ports without ACS, left by design, its pair OK.
  const json& board = pairs.at("0000:1c:00.0 0000:1d:00.0");
  EXPECT_EQ(board["state"], "ok");
  EXPECT_EQ(board["group"], "0000:18:00.0");
  EXPECT_EQ(board["ports"][1]["port"], "0000:1b:08.0");
  EXPECT_EQ(board["ports"][1]["state"], "no-acs");
  EXPECT_EQ(board["ports"][1]["by_design"], true);
  EXPECT_TRUE(pairs.at("0000:1c:00.0 0000:86:00.0")["group"].is_null());
}

TEST_F(StatusTest, TheGuestJsonDecodesThePeerFiles) {
  setUpGuest();
  guest_.unbindDriver("0000:00:0a.0");  // bound again after the pass
  runPass();
  guest_.bindDriver("0000:00:0a.0", "5", false);
  const sim::Result doc = tool({"-s", "--json"}, guest_);
  EXPECT_EQ(doc.status, 1) << doc.out;
  const json status = json::parse(doc.out);
  ASSERT_EQ(status["guest"]["gpus"].size(), pairs_.size());
  const json& first = status["guest"]["gpus"][0];  // 0000:00:05.0, host 0000:1c:00.0
  EXPECT_EQ(first["minor"], 0);
  EXPECT_EQ(first["driver"], "tamberon");
  EXPECT_EQ(first["exchange_table"]["word_count"], 5);
  EXPECT_EQ(first["peer_file"]["self"], hexText(sim::packBdf("0000:1c:00.0"), 8));
  EXPECT_EQ(first["peer_file"]["peers"][1]["packed"], hexText(sim::packBdf("0000:1d:00.0"), 8));
  EXPECT_EQ(first["peer_file"]["peers"][1]["address"], hexText(host_.bar0("0000:1d:00.0"), 16));
  EXPECT_EQ(first["peer_file"]["self_host_bdf"], "0000:1c:00.0");
  EXPECT_EQ(first["peer_file"]["peers"][1]["host_bdf"], "0000:1d:00.0");
  EXPECT_EQ(first["peer_file"]["matches_exchange_table"], true);
  // The last pass as its record gives it.
  const std::string record = sim::readFile(this->record());
  const size_t time = record.find("\npass ") + 6;
  const std::string pass = record.substr(time, record.find('\n', time) - time);
  EXPECT_EQ(first["p2pwatch"], json::parse(R"({"state": "programmed", "peers": 2, "reason": null,
                                               "peer_file_newer": false, "time": ")" +
                                           pass + "\"}"));
  EXPECT_EQ(metric("p2ptool_gpu_programmed_timestamp_seconds{gpu=\"0000:00:05.0\"}"), pass);
  EXPECT_EQ(metric("p2ptool_gpu_programmed{gpu=\"0000:00:05.0\"}"), "1");
  EXPECT_EQ(metric("p2ptool_role{role=\"guest\"}"), "1");
  const json& last = status["guest"]["gpus"][5];
  EXPECT_EQ(metric("p2ptool_gpu_programmed{gpu=\"" + last["bdf"].get<std::string>() + "\"}"), "0");
  EXPECT_EQ(last["p2pwatch"]["state"], "not-in-record");
  EXPECT_EQ(last["p2pwatch"]["time"], pass);
  EXPECT_EQ(last["state"], "not ready");
}

// Each grouped GPU's table against the one -w would write now, and -w agreeing.
TEST_F(StatusTest, EveryTableIsComparedWithWhatWriteModeWouldWrite) {
  ASSERT_EQ(tool().status, 0);
  ASSERT_EQ(tool({"-w"}).status, 0);
  const uint64_t moved = host_.bar0("0000:3e:00.0") + 0x100000000;
  std::unique_ptr<sim::GuestProcess> guest;
  const struct {
    const char* name;
    std::function<void()> spoil;
    const char* gpu;
    const char* table;
    int status;
  } rows[] = {
      {"after -w", [] {}, "0000:3d:00.0", "current", 0},
      {"a member's BAR0 moved", [&] { host_.writeConfig("0000:3e:00.0", 0x10, 8, moved | 0xC); },
       "0000:3d:00.0", "stale, BAR0 or members changed since (run p2ptool -w)", 1},
      {"never written", [&] { host_.writeWindowWords("0000:60:00.0", sim::kAreaOffset, {0}); },
       "0000:60:00.0", "missing (run p2ptool -w)", 1},
      {"count 31, the most -w writes",
       [&] { host_.writeWindowWords("0000:61:00.0", sim::kAreaOffset, {31ULL << 32}); },
       "0000:61:00.0", "stale, BAR0 or members changed since (run p2ptool -w)", 1},
      {"count 33", [&] { host_.writeWindowWords("0000:61:00.0", sim::kAreaOffset, {33ULL << 32}); },
       "0000:61:00.0", "malformed, word count 33 (run p2ptool -w)", 1},
      {"window too short to map",
       [&] { fs::resize_file(host_.dir("0000:1c:00.0") + "/resource0", sim::kAreaOffset); },
       "0000:1c:00.0", "unknown (Invalid argument)", 1},
      {"BAR0 unassigned", [&] { host_.writeConfig("0000:1d:00.0", 0x10, 8, 0xC); }, "0000:1d:00.0",
       "none, p2ptool -w leaves this GPU out (BAR0 unassigned)", 1},
      // -w exits 1: the spoilt GPUs above get no table.
      {"-w again", [&] { ASSERT_EQ(tool({"-w"}).status, 1); }, "0000:3d:00.0", "current", 1},
      {"in use while its BAR0 moves: -w leaves its table",
       [&] {
         guest = this->guest(host_.bindVfio("0000:3e:00.0", 3, dev_.path()));
         host_.writeConfig("0000:3e:00.0", 0x10, 8, (moved + 0x200000000) | 0xC);
         ASSERT_EQ(tool({"-w"}).status, 1);
       },
       "0000:3e:00.0",
       "stale, BAR0 or members changed since (in use by a running guest: p2ptool -w must wait "
       "until it has stopped)",
       1},
  };
  for (const auto& row : rows) {
    row.spoil();
    const sim::Result r = tool({"-s"});
    EXPECT_EQ(r.status, row.status) << row.name;
    EXPECT_EQ(tableOf(r.out, row.gpu), row.table) << row.name << "\n" << r.out;
    const std::string word(row.table, strcspn(row.table, " ,"));  // as the metrics name it
    EXPECT_EQ(metric(std::string("p2ptool_gpu_table_state{gpu=\"") + row.gpu + "\",state=\"" +
                     (word == "none" ? "left_out" : word) + "\"}"),
              "1")
        << row.name;
  }
  // What -w would write for 0000:3d:00.0 once 0000:3e:00.0 moves again, worked out here.
  const uint64_t again = moved + 0x100000000;
  host_.writeConfig("0000:3e:00.0", 0x10, 8, again | 0xC);
  std::string words;
  for (const uint64_t word : systest::expectedArea(
           "0000:3d:00.0", {{"0000:3d:00.0", host_.bar0("0000:3d:00.0")}, {"0000:3e:00.0", again}}))
    words += (words.empty() ? "" : " ") + hexText(word, 16);
  const sim::Result r = tool({"-s"});
  EXPECT_NE(r.out.find("\n      -w would write:  " + words + "\n"), std::string::npos) << r.out;
  EXPECT_TRUE(has(r.out,
                  "0000:3b:00.0  GPUs 0000:3d:00.0 0000:3e:00.0: no current table: "
                  "0000:3d:00.0, 0000:3e:00.0; in use by a running guest: 0000:3e:00.0 (p2ptool "
                  "-w must wait until its guest has stopped)"))
      << r.out;
}

// Exit statuses 0 ready, 1 not ready, 3 unknown; another user gets no guess.
TEST_F(StatusTest, WhatOnlyRootCanReadIsUnknownToOtherUsers) {
  ASSERT_EQ(tool().status, 0);
  ASSERT_EQ(tool({"-w"}).status, 0);
  const sim::Result root = tool({"-s"});
  EXPECT_EQ(root.status, 0);
  EXPECT_EQ(root.out.find("run as root"), std::string::npos);
  const sim::Result r = tool({"-s"}, host_, systest::kNobody);
  EXPECT_EQ(r.status, 3);
  EXPECT_TRUE(has(r.out,
                  "0000:3d:00.0  board: unknown (run as root)  BAR0 0x00000043d0000000  "
                  "group unknown"))
      << r.out;
  EXPECT_EQ(tableOf(r.out, "0000:1c:00.0"), "unknown (run as root)");
  EXPECT_TRUE(has(r.out, "0000:17:00.0  ACS Control unreadable (run as root)"));
  // The dual-chip board's device ID alone places it, but no ACS capability is read: no
  // parameter names the few ports that could be placed, the board's pair is unknown.
  // No window tells another user the role: the CPU does.
  EXPECT_EQ(r.out.rfind("Role: host (no GPU tells; the CPU has no hypervisor flag)\n"
                        "Status: unknown\n",
                        0),
            0u)
      << r.out;
  EXPECT_TRUE(endsWith(r.out, "\nKernel parameter: unknown (run as root)\n")) << r.out;
  EXPECT_TRUE(has(r.out,
                  "0000:1c:00.0 0000:1d:00.0  BRD: ACS Control of 0000:1b:00.0 unknown "
                  "(run as root); ACS Control of 0000:1b:08.0 unknown (run as root); "
                  "tables unknown"))
      << r.out;
  const auto matrix = matrixOf(r.out, "P2P matrix:");
  EXPECT_EQ(matrix.at({"0000:1c:00.0", "0000:1d:00.0"}), "BRD ??");
  EXPECT_EQ(matrix.at({"0000:3d:00.0", "0000:3e:00.0"}), "PIX ??");  // its group unknown
  EXPECT_EQ(matrix.at({"0000:3d:00.0", "0000:60:00.0"}), "PHB NG");  // groups span no root port
  const json host = json::parse(tool({"-s", "--json"}, host_, systest::kNobody).out)["host"];
  EXPECT_TRUE(host["kernel_parameter"].is_null());
  EXPECT_EQ(host["kernel_parameter_unknown"], "run as root");
  EXPECT_EQ(host["groups"][0]["meeting_unknown"], json::array({"0000:1b:00.0", "0000:1b:08.0"}));
  // A board in a root port, placed by its device ID alone: its ports are known, their ACS not.
  sim::TempDir board_dir("p2p-board-only");
  sim::Fabric board(board_dir.path());
  board.addRootPort("0000:17:00.0", "pci0000:17");
  board.addDualChipBoard("0000:17:00.0", "0000:18:00.0", {"0000:19:00.0", "0000:19:08.0"},
                         {"0000:1a:00.0", "0000:1b:00.0"});
  EXPECT_TRUE(endsWith(tool({"-s"}, board, systest::kNobody).out,
                       "Kernel parameter: unknown (run as root)\n"));
  EXPECT_EQ(json::parse(tool({"-s", "--json"}, host_, systest::kNobody).out)["state"], "unknown");
  // No GPU is not ready for anyone; a tree that cannot be read is unknown, in a document too.
  sim::TempDir dir("p2p-none");
  sim::Fabric none(dir.path());
  none.addRootPort("0000:00:1c.0", "pci0000:00");
  none.addFunction("0000:01:00.0", "0000:00:1c.0");
  for (const uid_t uid : {uid_t{0}, systest::kNobody}) {
    const sim::Result empty = tool({"-s"}, none, uid);
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.out,
              "Role: host (no GPU tells; the CPU has no hypervisor flag)\nStatus: not ready\nNo "
              "GPU found.\n");
    EXPECT_EQ(metric("p2ptool_gpus"), "0");
    EXPECT_EQ(metric("p2ptool_role{role=\"host\"}"), "1");
  }
  fs::remove_all(dir.path() + "/sys/bus");
  const sim::Result doc = tool({"-s", "--json"}, none);
  EXPECT_EQ(doc.status, 3);
  const json unreadable = json::parse(doc.out);
  EXPECT_EQ(unreadable["state"], "unknown");
  EXPECT_EQ(metric("p2ptool_state{state=\"unknown\"}"), "1");
  EXPECT_EQ(unreadable["error"], "cannot read /sys/bus/pci/devices/: No such file or directory");
}

// One group, one tenant: members held by different processes are named, a
// warning that changes no verdict. Another user sees none of root's processes:
// for it a GPU bound to vfio-pci is in use or not, unknown.
TEST_F(StatusTest, GroupMembersHeldByDifferentGuestsAreNamed) {
  ASSERT_EQ(tool().status, 0);
  ASSERT_EQ(tool({"-w"}).status, 0);
  const auto first = guest(host_.bindVfio("0000:60:00.0", 7, dev_.path()));
  const auto second = guest(host_.bindVfio("0000:61:00.0", 8, dev_.path()), "qemu-kvm");
  host_.bindVfio("0000:3d:00.0", 9, dev_.path());  // one IOMMU group: one guest holds both
  const auto both = guest(host_.bindVfio("0000:3e:00.0", 9, dev_.path()));
  const std::string holder = std::to_string(first->pid()) + " qemu-system-x86";
  const sim::Result r = tool({"-s"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.out, "0000:5e:00.0  WARNING: held by different processes: 0000:60:00.0 by " +
                             holder + "; 0000:61:00.0 by " + std::to_string(second->pid()) +
                             " qemu-kvm (they reach each other's memory without the IOMMU)"))
      << r.out;
  EXPECT_EQ(r.out.find("0000:3b:00.0  WARNING"), std::string::npos);
  const auto matrix = matrixOf(r.out, "P2P matrix:");
  EXPECT_EQ(matrix.at({"0000:60:00.0", "0000:61:00.0"}), "PIX VM");
  EXPECT_EQ(matrix.at({"0000:3d:00.0", "0000:3e:00.0"}), "PIX OK");  // one guest holds both
  EXPECT_TRUE(has(r.out, "0000:60:00.0 0000:61:00.0  PIX: in use by different guests"));
  EXPECT_NE(r.out.find("\n    table: current\n    in use by a running guest: " + holder + "\n"),
            std::string::npos);
  const sim::Result other = tool({"-s"}, host_, systest::kNobody);
  EXPECT_EQ(other.out.find("WARNING"), std::string::npos);
  EXPECT_NE(other.out.find("\n    in use: unknown (run as root)\n"), std::string::npos);
  const json doc = json::parse(tool({"-s", "--json"}, host_, systest::kNobody).out);
  EXPECT_TRUE(doc["host"]["gpus"][4]["tenants"].is_null());     // 0000:60:00.0
  EXPECT_EQ(doc["host"]["gpus"][0]["tenants"], json::array());  // 0000:1c:00.0: not bound
  EXPECT_EQ(doc["host"]["gpus"][4]["tenants_reason"], "run as root");
  EXPECT_EQ(json::parse(tool({"-s", "--json"}).out)["host"]["groups"][2]["tenants_differ"], true);
  // As root with the old unit's capabilities the guests' descriptors cannot be
  // read: no GPU bound to vfio-pci is called free, no group ready on a guess.
  EXPECT_EQ(tool({"-s"}, host_, 0, systest::withCapabilities(systest::unitCapabilities())).out,
            r.out);
  const auto old_unit = systest::withCapabilities("-all,+sys_admin");
  const sim::Result blind = tool({"-s"}, host_, 0, old_unit);
  std::set<pid_t> pids = {first->pid(), second->pid(), both->pid()};
  std::string hidden = "descriptors of 3 processes unreadable: ";
  for (const pid_t pid : pids) hidden += std::to_string(pid) + (pid == *pids.rbegin() ? "" : ", ");
  EXPECT_EQ(blind.status, 3);
  EXPECT_NE(blind.out.find("\n    table: current\n    in use: unknown (" + hidden + ")\n"),
            std::string::npos)
      << blind.out;
  EXPECT_TRUE(has(blind.out,
                  "0000:5e:00.0  GPUs 0000:60:00.0 0000:61:00.0: in use unknown: 0000:60:00.0, "
                  "0000:61:00.0"))
      << blind.out;
  EXPECT_EQ(blind.out.find("WARNING"), std::string::npos);
  EXPECT_EQ(metric("p2ptool_gpu_in_use{gpu=\"0000:60:00.0\"}"), "1");  // it may be
  const json blind_doc = json::parse(tool({"-s", "--json"}, host_, 0, old_unit).out);
  EXPECT_EQ(blind_doc["host"]["gpus"][4]["tenants_reason"], hidden);
  EXPECT_EQ(blind_doc["host"]["groups"][2]["tenants_unknown"],
            json::array({"0000:60:00.0", "0000:61:00.0"}));
  EXPECT_EQ(blind_doc["host"]["groups"][2]["state"], "unknown");
  host_.writeWindowWords("0000:61:00.0", sim::kAreaOffset, {0});
  EXPECT_EQ(tableOf(tool({"-s"}, host_, 0, old_unit).out, "0000:61:00.0"),
            "missing (in use unknown: p2ptool -w leaves it as it is)");
}

// SR-IOV virtual functions are listed under their GPU and decide nothing:
// seven of them beside a member neither go offline nor join its group.
TEST_F(StatusTest, VirtualFunctionsAreListedUnderTheirGpuAndDecideNothing) {
  ASSERT_EQ(tool().status, 0);
  ASSERT_EQ(tool({"-w"}).status, 0);
  host_.addVirtualFunctions("0000:3e:00.0",
                            {"0000:3e:00.1", "0000:3e:00.2", "0000:3e:00.3", "0000:3e:00.4",
                             "0000:3e:00.5", "0000:3e:00.6", "0000:3e:00.7"});
  const sim::Result r = tool({"-s"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("\n    virtual functions: 0000:3e:00.1 0000:3e:00.2 0000:3e:00.3 "
                       "0000:3e:00.4 0000:3e:00.5 0000:3e:00.6 0000:3e:00.7\n    table: current\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(has(r.out, "0000:3b:00.0  GPUs 0000:3d:00.0 0000:3e:00.0: P2P ready")) << r.out;
  const json doc = json::parse(tool({"-s", "--json"}).out);
  std::map<std::string, size_t> vfs;  // of each host GPU listed in the document
  for (const json& gpu : doc["host"]["gpus"]) vfs[gpu["bdf"]] = gpu["virtual_functions"].size();
  EXPECT_EQ(vfs.size(), 7u);
  EXPECT_EQ(vfs["0000:3e:00.0"], 7u);
  EXPECT_EQ(vfs["0000:3d:00.0"], 0u);
}

// Under the journal the problems are warnings, the rest information; the words
// stay those of any other stream.
TEST_F(StatusTest, TheJournalGetsTheProblemsAsWarnings) {
  ASSERT_EQ(tool().status, 0);
  ASSERT_EQ(tool({"-w"}).status, 0);
  host_.setAcsControl("0000:3c:10.0", 0x0004);
  host_.writeWindowWords("0000:60:00.0", sim::kAreaOffset, {0});
  systest::Daemon run(box_, {systest::kP2ptool, "-s"}, {}, true);
  EXPECT_EQ(run.waitForExit(10000), 1);
  std::istringstream journal(run.out());
  std::string line, plain;
  std::vector<std::string> warnings;
  while (std::getline(journal, line)) {
    if (line.rfind("<4>", 0) == 0) warnings.push_back(line.substr(3));
    EXPECT_TRUE(line.rfind("<4>", 0) == 0 || line.rfind("<6>", 0) == 0) << line;
    plain += line.substr(3) + "\n";
  }
  const std::vector<std::string> expected = {
      "Status: not ready",
      "    table: missing (run p2ptool -w)",
      "  0000:3c:10.0  ACSCtl: SrcValid- TransBlk- ReqRedir+ CmpltRedir- UpstreamFwd- "
      "EgressCtrl- DirectTrans-",
      "  0000:3b:00.0  GPUs 0000:3d:00.0 0000:3e:00.0: blocked by 0000:3c:10.0",
      "  0000:5e:00.0  GPUs 0000:60:00.0 0000:61:00.0: no current table: 0000:60:00.0",
      "  0000:3d:00.0 0000:3e:00.0  PIX: redirected at 0000:3c:10.0",
      "    0000:3c:10.0: p2ptool clears it (setpci -s 0000:3c:10.0 ECAP_ACS+6.w=0000:002c > "
      "/dev/null 2>&1)",
      "  0000:60:00.0 0000:61:00.0  PIX: no current table: 0000:60:00.0 (run p2ptool -w)"};
  EXPECT_EQ(warnings, expected);
  EXPECT_EQ(plain, tool({"-s"}).out);
}

// The role from evidence a stray peer directory cannot fake, said first with
// the verdict; the report shows that role's view, its document alike.
TEST_F(StatusTest, TheRoleComesFromTheGpusThenTheCpuAndDecidesTheView) {
  sim::TempDir q35_dir{"p2p-q35"};
  sim::Fabric q35(q35_dir.path());
  sim::buildQ35GuestPreset(q35, host_);
  const struct {
    const char* name;
    std::function<void()> prepare;
    const sim::Fabric& fabric;
    std::vector<std::string> args;
    const char* role;
    const char* evidence;
    const char* gpu_line;  // a line of the view
    int status;
  } rows[] = {
      {"a guest on the root bus",
       [] {},
       guest_,
       {},
       "guest",
       "GPUs on the root bus",
       "  guest 0000:00:05.0",
       1},
      {"a q35 guest without tables",
       [] {},
       q35,
       {},
       "guest",
       "no GPU tells; the CPU has the hypervisor flag",
       "  guest 0000:01:00.0",
       1},
      {"... that hides its hypervisor flag",
       [&] { q35.setHypervisorFlag(false); },
       q35,
       {},
       "host",
       "no GPU tells; the CPU has no hypervisor flag",
       "  0000:01:00.0  dual-chip board  BAR0 0x0000000810000000  no group: below a root port",
       0},
      {"... told so", [] {}, q35, {"--guest"}, "guest", "--guest given", "  guest 0000:01:00.0", 1},
      {"a host with a stray peer directory, after p2ptool and -w",
       [&] {
         ASSERT_EQ(tool({"-r"}).status, 1);  // stores what it can, and says it is a host
         ASSERT_TRUE(fs::is_directory(etc_.path() + "/" + systest::kPeerDir));
         ASSERT_EQ(tool().status, 0);
         ASSERT_EQ(tool({"-w"}).status, 0);
       },
       host_,
       {},
       "host",
       "GPUs below switches whose tables name themselves or hold none",
       "  0000:3d:00.0  single chip      BAR0 0x00000043d0000000  group 0000:3b:00.0",
       0},
      {"a q35 guest whose tables name host addresses",
       [] {},
       q35,
       {},
       "guest",
       "the exchange table of guest 0000:01:00.0 names host 0000:1c:00.0",
       "  guest 0000:01:00.0",
       1},
      {"a guest told it is a host",
       [] {},
       guest_,
       {"--host"},
       "host",
       "--host given",
       "  0000:00:05.0  dual-chip board  BAR0 0x0000000802800000  no group: on the root bus",
       0},
      {"a host table left from another layout",
       [&] { host_.writeWindowWords("0000:61:00.0", sim::kAreaOffset, {5ULL << 32 | 0x6200}); },
       host_,
       {},
       "host",
       "the GPUs disagree; the CPU has no hypervisor flag",
       "    table: stale, BAR0 or members changed since (run p2ptool -w)",
       1},
  };
  const char* kVerdicts[] = {"ready", "not ready"};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    row.prepare();
    std::vector<std::string> args = {"-s"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const sim::Result r = tool(args, row.fabric);
    EXPECT_EQ(r.status, row.status);
    const std::string view = row.role == std::string("host") ? "Host GPUs:" : "Guest GPUs:";
    EXPECT_EQ(r.out.rfind(std::string("Role: ") + row.role + " (" + row.evidence +
                              ")\nStatus: " + kVerdicts[row.status] + "\n" + view + "\n",
                          0),
              0u)
        << r.out;
    EXPECT_NE(r.out.find("\n" + std::string(row.gpu_line) + "\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(view == "Host GPUs:" ? "Guest GPUs:" : "Host GPUs:"), std::string::npos);
    args.push_back("--json");
    const json doc = json::parse(tool(args, row.fabric).out);
    EXPECT_EQ(doc["role"], row.role);
    EXPECT_EQ(doc["role_evidence"], row.evidence);
    EXPECT_TRUE(doc[row.role == std::string("host") ? "guest" : "host"].is_null());
    EXPECT_EQ(metric(std::string("p2ptool_role{role=\"") + row.role + "\"}"), "1");
  }
}

// Snapshots of real servers: a 32-bit BAR0 beside a BAR1, a domain above
// ffff, a downstream port without a link in /sys/bus/pci/devices.
TEST_F(StatusTest, TheRealHostPresetAsWriteModeSeesIt) {
  sim::TempDir dir("p2p-real");
  sim::Fabric real(dir.path());
  sim::buildRealHostPreset(real);
  // Both exit 1: setpci cannot reach the port without a link, and no table
  // carries the GPUs of the domain above ffff.
  ASSERT_EQ(tool({}, real).status, 1);
  ASSERT_EQ(tool({"-w"}, real).status, 1);
  const sim::Result r = tool({"-s"}, real);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r.out,
                  "0000:c3:00.0  single chip      BAR0 0x0000000090000000  group "
                  "0000:c1:00.0"))
      << r.out;
  EXPECT_EQ(tableOf(r.out, "0000:c3:00.0"), "current");
  EXPECT_EQ(tableOf(r.out, "10000:03:00.0"),
            "none, p2ptool -w leaves this GPU out (its PCI address does not fit the 32-bit self "
            "field)");
  EXPECT_TRUE(has(r.out, "10000:02:08.0  ACS Control unreadable (missing)"));
  // Its matrix: the board's own ports keep ReqRedir, left by the default mode by design.
  const auto matrix = matrixOf(r.out, "P2P matrix:");
  const struct {
    const char* a;
    const char* b;
    const char* cell;
  } cells[] = {
      {"0000:1c:00.0", "0000:1d:00.0", "BRD RD"},  {"0000:3d:00.0", "0000:3e:00.0", "PIX OK"},
      {"0000:c3:00.0", "0000:c4:00.0", "PIX OK"},  {"10000:03:00.0", "10000:04:00.0", "PIX NT"},
      {"0000:1c:00.0", "0000:3d:00.0", "PHB NG"},  {"0000:86:00.0", "0000:86:00.0", "X"},
      {"0000:86:00.0", "10000:04:00.0", "PHB NG"}, {"10000:04:00.0", "0000:86:00.0", "PHB NG"},
  };
  EXPECT_EQ(matrix.size(), 11u * 11u);
  for (const auto& cell : cells) EXPECT_EQ(matrix.at({cell.a, cell.b}), cell.cell) << cell.a;
  EXPECT_TRUE(has(r.out,
                  "0000:18:00.0  GPUs 0000:1c:00.0 0000:1d:00.0: blocked where members meet by "
                  "0000:1b:00.0, 0000:1b:08.0"));
  EXPECT_TRUE(has(r.out,
                  "0000:1c:00.0 0000:1d:00.0  BRD: redirected at 0000:1b:00.0, "
                  "0000:1b:08.0"));
  const std::string clear = " ECAP_ACS+6.w=0000:002c > /dev/null 2>&1";
  EXPECT_TRUE(has(r.out,
                  "  0000:1b:08.0: the default mode leaves it by design, a port of the "
                  "board's own switch; to clear it: setpci -s 0000:1b:08.0" +
                      clear + ", or boot with the kernel parameter below"))
      << r.out;
  EXPECT_TRUE(endsWith(r.out,
                       "Kernel parameter: pci=disable_acs_redir=0000:17:00.0;0000:19:00.0;"
                       "0000:1b:00.0;0000:1b:08.0;0000:3c:08.0;0000:3c:10.0;0000:5f:08.0;"
                       "0000:5f:10.0;10000:02:08.0;10000:02:10.0\n"));
  // The commands the document gives clear the board's ports: its pair works.
  sim::Sandbox box = box_;
  box.sys = real.sysDir();
  const json doc = json::parse(tool({"-s", "--json"}, real).out);
  EXPECT_EQ(doc["host"]["groups"][0]["state"], "not ready");  // the board's group, by its pair
  for (const json& port : doc["host"]["pairs"][0]["ports"])
    ASSERT_EQ(sim::run(box, {"/bin/sh", "-c", port["command"]}).status, 0) << port.dump();
  const sim::Result cleared = tool({"-s"}, real);
  EXPECT_EQ(matrixOf(cleared.out, "P2P matrix:").at({"0000:1d:00.0", "0000:1c:00.0"}), "BRD OK");
  EXPECT_TRUE(has(cleared.out, "0000:18:00.0  GPUs 0000:1c:00.0 0000:1d:00.0: P2P ready"));
}

// A board and a single chip on one outer switch: one group, whose pairs meet
// at the board's own switch or at the outer one.
TEST_F(StatusTest, PairsAcrossSeveralSwitchesMeetAtTheOuterSwitch) {
  sim::TempDir dir("p2p-outer");
  sim::Fabric outer(dir.path());
  outer.addRootPort("0000:17:00.0", "pci0000:17");
  outer.addSwitch("0000:17:00.0", "0000:18:00.0", {"0000:19:00.0", "0000:19:08.0"});
  outer.addDualChipBoard("0000:19:00.0", "0000:1a:00.0", {"0000:1b:00.0", "0000:1b:08.0"},
                         {"0000:1c:00.0", "0000:1d:00.0"});
  outer.addGpu("0000:1e:00.0", "0000:19:08.0");
  ASSERT_EQ(tool({}, outer).status, 0);
  ASSERT_EQ(tool({"-w"}, outer).status, 0);
  fs::resize_file(outer.dir("0000:1b:08.0") + "/config", 64);
  const sim::Result r = tool({"-s"}, outer);
  const auto matrix = matrixOf(r.out, "P2P matrix:");
  EXPECT_EQ(matrix.at({"0000:1c:00.0", "0000:1e:00.0"}), "PXB OK") << r.out;
  EXPECT_EQ(matrix.at({"0000:1e:00.0", "0000:1d:00.0"}), "PXB OK");
  EXPECT_EQ(matrix.at({"0000:1c:00.0", "0000:1d:00.0"}), "BRD RD");
  EXPECT_TRUE(has(r.out,
                  "0000:18:00.0  GPUs 0000:1c:00.0 0000:1d:00.0 0000:1e:00.0: blocked where "
                  "members meet by 0000:1b:00.0; ACS Control unknown where members meet: "
                  "0000:1b:08.0"))
      << r.out;
  EXPECT_TRUE(endsWith(r.out,
                       "Kernel parameter: pci=disable_acs_redir=0000:17:00.0;0000:19:00.0;"
                       "0000:19:08.0;0000:1b:00.0;0000:1b:08.0\n"));
}

// Past 16 GPUs a matrix per group, unless --matrix asks for the whole one.
TEST_F(StatusTest, AHostOfMoreThanSixteenGpusGetsAMatrixPerGroup) {
  sim::TempDir dir("p2p-wide");
  sim::Fabric wide(dir.path());
  const auto name = [](const char* pattern, unsigned n) {
    char text[16];
    snprintf(text, sizeof text, pattern, n);
    return std::string(text);
  };
  wide.addRootPort("0000:20:00.0", "pci0000:20");
  std::vector<std::string> ports;
  for (unsigned i = 0; i < 15; ++i) ports.push_back(name("0000:22:%02x.0", i));
  wide.addSwitch("0000:20:00.0", "0000:21:00.0", ports);
  for (unsigned i = 0; i < 15; ++i) wide.addGpu(name("0000:%02x:00.0", 0x23 + i), ports[i]);
  wide.addGpuBelowRootPort("pci0000:40", "0000:40:00.0", "0000:41:00.0");  // the 16th
  const sim::Result sixteen = tool({"-s"}, wide);
  EXPECT_EQ(matrixOf(sixteen.out, "P2P matrix:").size(), 16u * 16u) << sixteen.out;
  wide.addRootPort("0000:50:00.0", "pci0000:50");  // the 17th, a group of its own
  wide.addSwitch("0000:50:00.0", "0000:51:00.0", {"0000:52:00.0"});
  wide.addGpu("0000:53:00.0", "0000:52:00.0");
  const sim::Result r = tool({"-s"}, wide);
  EXPECT_EQ(r.out.find("\nP2P matrix:\n"), std::string::npos) << r.out;
  const auto group = matrixOf(r.out, "P2P matrix of group 0000:21:00.0:");
  EXPECT_EQ(group.size(), 15u * 15u) << r.out;
  EXPECT_EQ(group.at({"0000:23:00.0", "0000:31:00.0"}), "PIX RD");
  EXPECT_EQ(matrixOf(r.out, "P2P matrix of group 0000:51:00.0:").size(), 1u);
  EXPECT_NE(r.out.find("\nIn no group (NG with every GPU): 0000:41:00.0\n"), std::string::npos);
  const sim::Result whole = tool({"-s", "--matrix"}, wide);
  const auto all = matrixOf(whole.out, "P2P matrix:");
  EXPECT_EQ(all.size(), 17u * 17u) << whole.out;
  EXPECT_EQ(all.at({"0000:53:00.0", "0000:41:00.0"}), "PHB NG");
  EXPECT_EQ(whole.out.find("P2P matrix of group"), std::string::npos);
  EXPECT_EQ(tool({"--matrix"}, wide, systest::kNobody).status, 2);  // --matrix needs --status
}

TEST_F(StatusTest, StatusChangesNoByteAndStartsNoProcess) {
  setUpEverything();
  host_.setAcsControl("0000:3c:10.0", sim::kDefaultAcsControl);
  const auto host_before = systest::snapshot(dir_.path());
  const auto guest_before = systest::snapshot(guest_dir_.path());
  const auto etc_before = systest::snapshot(etc_.path());
  const size_t setpci_before = setpci_.calls().size();
  sim::TempDir host_etc("p2p-host-etc");  // the host's own /etc, without peer files
  fs::permissions(host_etc.path(), fs::perms(0755));
  for (const auto& args : {std::vector<std::string>{"-s"}, {"-s", "--json"}}) {
    EXPECT_EQ(tool(args, guest_).status, 0);
    EXPECT_EQ(tool(args, guest_, systest::kNobody).status, 3);  // windows unknown, all else ready
    box_.etc_upper = host_etc.path();
    EXPECT_EQ(tool(args).status, 1);
    EXPECT_EQ(tool(args, host_, systest::kNobody).status, 3);  // any user may ask
    box_.etc_upper = etc_.path();
  }
  EXPECT_TRUE(systest::snapshot(dir_.path()) == host_before);
  EXPECT_TRUE(systest::snapshot(guest_dir_.path()) == guest_before);
  EXPECT_TRUE(systest::snapshot(etc_.path()) == etc_before);
  EXPECT_EQ(setpci_.calls().size(), setpci_before);
}

TEST_F(StatusTest, UsageErrorsExitWithTwoAndVersionWithZero) {
  for (const auto& args : {std::vector<std::string>{"--json"},
                           {"-s", "-w"},
                           {"-r", "--status"},
                           {"-s", "--bogus"},
                           {"-n", "-s"},
                           {"-w", "--json"},
                           {"-s", "--host", "--guest"},
                           {"-w", "--guest"},
                           {"-s", "--metrics"},
                           {"--metrics="},
                           {"--metrics", "-", "--json"},
                           {"--metrics", "-", "-n"},
                           {"--metrics=-", "--bogus"},
                           {"--metrics", "m.prom", "--collect", "c.tar.gz"}}) {
    const sim::Result r = tool(args, host_, systest::kNobody);
    EXPECT_EQ(r.status, 2) << args.front() << " " << args.back();
    EXPECT_EQ(r.out, "");
  }
  const sim::Result r = tool({"--version"}, host_, systest::kNobody);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "p2ptool " P2P_VERSION "\n");
}

}  // namespace
