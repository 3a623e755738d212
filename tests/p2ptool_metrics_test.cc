// p2ptool -s --metrics FILE: the file replaced whole, what happens when it
// cannot be, the metrics unit's own command, and the real node_exporter
// serving what the report gave.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <nlohmann/json.hpp>

#include <iterator>
#include <set>

#include "tests/system_fixture.h"

namespace {

namespace fs = std::filesystem;

constexpr char kNodeExporter[] = "/usr/bin/prometheus-node-exporter";
constexpr char kFileName[] = "p2ptool.prom";
constexpr int kScrapeTimeoutSeconds = 5;  // one answer of node_exporter on a busy machine
constexpr int kExporterStarts = 3;        // another program may take the port we found free

std::set<std::string> namesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A TCP port of 127.0.0.1 that was free when asked; 0 when none was given.
uint16_t freePort() {
  const ScopedFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return 0;
  return ntohs(address.sin_port);
}

// The body of node_exporter's answer to GET /metrics when it is 200 OK; ""
// when nothing listens yet or the answer is another. Waits for no answer
// longer than kScrapeTimeoutSeconds.
std::string scrape(uint16_t port) {
  const ScopedFd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const timeval timeout{kScrapeTimeoutSeconds, 0};
  setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  const sockaddr_in address = loopback(port);
  if (connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    return "";
  const std::string request = "GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
  if (send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size()))
    return "";
  std::string answer;
  char buffer[65536];
  for (ssize_t n; (n = recv(socket.get(), buffer, sizeof buffer, 0)) > 0;) answer.append(buffer, n);
  const size_t body = answer.find("\r\n\r\n");
  if (answer.rfind("HTTP/1.0 200 ", 0) != 0 && answer.rfind("HTTP/1.1 200 ", 0) != 0) return "";
  return body == std::string::npos ? "" : answer.substr(body + 4);
}

class MetricsTest : public systest::PresetTest {
 protected:
  std::string file() const { return out_ / kFileName; }
  sim::TempDir out_{"p2p-textfile"};
};

// Made anew and renamed over the old file: a reader holding the old file
// keeps it whole, nothing else is left in the directory, the mode is 0644
// whatever the umask, and the text report is not printed.
TEST_F(MetricsTest, TheFileIsReplacedWholeWithMode0644) {
  const std::string reader = out_ / "reader";
  std::ofstream(file()) << "old\n";
  fs::create_hard_link(file(), reader);
  const std::vector<std::string> umask077 = {"sh", "-c", "umask 077 && exec \"$0\" \"$@\""};
  const sim::Result r = tool({"-s", "--metrics", file()}, host_, 0, umask077);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(sim::readFile(reader), "old\n");
  EXPECT_EQ(fs::status(file()).permissions(), fs::perms(0644));
  EXPECT_EQ(namesIn(out_.path()), (std::set<std::string>{kFileName, "reader"}));
  const auto series = systest::metricSeries(sim::readFile(file()));
  EXPECT_EQ(series.at("p2ptool_state{state=\"not_ready\"}"), "1");
  // --metrics alone implies -s; --json prints the document of the same check.
  const sim::Result doc = tool({"--metrics", file(), "--json"});
  EXPECT_EQ(doc.status, 1);
  const auto again = systest::metricSeries(sim::readFile(file()));
  const nlohmann::json status = nlohmann::json::parse(doc.out);
  EXPECT_EQ(again.at("p2ptool_gpus"), std::to_string(status["host"]["gpus"].size()));
  EXPECT_NE(again.at("p2ptool_check_timestamp_seconds"),
            series.at("p2ptool_check_timestamp_seconds"));
}

// A file that cannot be written: status 4 and the file named with the
// reason; what was there stays, and no temporary file is left.
TEST_F(MetricsTest, AFileThatCannotBeWrittenExitsWithFour) {
  std::ofstream(file()) << "old\n";
  fs::create_directory(out_ / "taken");
  fs::create_directory(out_ / "closed");
  fs::permissions(out_.path(), fs::perms(0755));
  const struct {
    const char* name;
    std::string path;
    uid_t uid;
    const char* fsync_fails;  // fnmatch pattern, or nullptr
    const char* reason;
  } rows[] = {
      {"no such directory", out_ / "missing/p2ptool.prom", 0, nullptr, "No such file or directory"},
      {"a directory in its place", out_ / "taken", 0, nullptr, "Is a directory"},
      {"a directory root alone may write", out_ / "closed/p2ptool.prom", systest::kNobody, nullptr,
       "Permission denied"},
      {"flushing fails", file(), 0, "*/p2ptool.prom.*", "Input/output error"},
  };
  for (const auto& row : rows) {
    const systest::FailingFsync failing(row.fsync_fails);
    const sim::Result r = tool({"-s", "--metrics", row.path}, host_, row.uid);
    EXPECT_EQ(r.status, 4) << row.name;
    EXPECT_EQ(r.err, "Error: cannot write the metrics to " + row.path + ": " + row.reason + "\n")
        << row.name;
    EXPECT_EQ(namesIn(out_.path()), (std::set<std::string>{kFileName, "taken", "closed"}))
        << row.name;
    EXPECT_TRUE(fs::is_empty(out_ / "taken") && fs::is_empty(out_ / "closed")) << row.name;
    EXPECT_EQ(sim::readFile(file()), "old\n") << row.name;
  }
}

// The command of p2ptool-metrics.service, as systemd runs it: the unit's
// capabilities and umask, its state directory made; its exit status one the
// unit counts as success, and the file written there alone.
TEST_F(MetricsTest, TheMetricsUnitsCommandWritesTheFile) {
  const std::string unit = "p2ptool-metrics.service.in";
  std::istringstream command(systest::unitValue(unit, "ExecStart"));
  std::vector<std::string> argv;
  for (std::string word; command >> word;)
    argv.push_back(word == "@P2P_SBIN_DIR@/p2ptool" ? systest::kP2ptool : word);
  ASSERT_GE(argv.size(), 2u);
  const std::string state_dir = "/var/lib/" + systest::unitValue(unit, "StateDirectory");
  ASSERT_EQ(argv.back(), state_dir + "/" + kFileName);
  sim::TempDir var_lib("p2p-var-lib");  // bound over /var/lib
  const std::string dir = var_lib.subdir(state_dir.substr(strlen("/var/lib/")));
  sim::Sandbox box = box_;
  box.binds.push_back({var_lib.path(), "/var/lib"});
  std::vector<std::string> run = systest::withCapabilities(systest::unitCapabilities(unit));
  const std::string umask = "umask " + systest::unitValue(unit, "UMask");
  run.insert(run.end(), {"sh", "-c", umask + " && exec \"$0\" \"$@\""});
  run.insert(run.end(), argv.begin(), argv.end());
  const sim::Result r = sim::run(box, run);
  std::istringstream successes("0 " + systest::unitValue(unit, "SuccessExitStatus"));
  std::set<int> success{std::istream_iterator<int>(successes), std::istream_iterator<int>()};
  EXPECT_EQ(success, (std::set<int>{0, 1, 3}));
  EXPECT_EQ(r.status, 1) << r.err;  // the preset before p2ptool: not ready
  EXPECT_EQ(namesIn(dir), std::set<std::string>{kFileName});
  EXPECT_EQ(fs::status(dir + "/" + kFileName).permissions(), fs::perms(0644));
  EXPECT_EQ(systest::metricSeries(sim::readFile(dir + "/" + kFileName))
                .at("p2ptool_state{state=\"not_ready\"}"),
            "1");
}

// The real node_exporter, its textfile collector alone, serves every series
// of the file with its value, and reads the file without an error.
TEST_F(MetricsTest, NodeExporterServesWhatTheReportGave) {
  if (!fs::exists(kNodeExporter)) {
    if (systest::inCi()) FAIL() << kNodeExporter << " missing (scripts/deps check)";
    GTEST_SKIP() << kNodeExporter << " missing (scripts/deps check installs it)";
  }
  ASSERT_EQ(tool().status, 0);
  ASSERT_EQ(tool({"-w"}).status, 0);
  const auto holder = guest(host_.bindVfio("0000:61:00.0", 7, dev_.path()));
  ASSERT_EQ(tool({"-s", "--metrics", file()}).status, 0);
  const auto written = systest::metricSeries(sim::readFile(file()));
  std::string body;
  std::unique_ptr<systest::Daemon> exporter;
  for (int start = 0; start < kExporterStarts && body.empty(); ++start) {
    const uint16_t port = freePort();
    ASSERT_NE(port, 0);
    exporter = std::make_unique<systest::Daemon>(
        box_, std::vector<std::string>{kNodeExporter, "--collector.disable-defaults",
                                       "--collector.textfile",
                                       "--collector.textfile.directory=" + out_.path(),
                                       "--web.listen-address=127.0.0.1:" + std::to_string(port)});
    systest::eventually([&] { return !(body = scrape(port)).empty() || !exporter->running(); },
                        30000);
  }
  ASSERT_FALSE(body.empty()) << exporter->err();
  const auto served = systest::metricSeries(body);
  size_t ours = 0;
  for (const auto& entry : served) ours += entry.first.rfind("p2ptool_", 0) == 0;
  EXPECT_EQ(ours, written.size()) << body;
  for (const auto& [series, value] : written) {
    const auto found = served.find(series);
    ASSERT_NE(found, served.end()) << series << "\n" << body;
    EXPECT_EQ(std::stod(found->second), std::stod(value)) << series;
  }
  EXPECT_EQ(written.at("p2ptool_gpu_in_use{gpu=\"0000:61:00.0\"}"), "1");
  EXPECT_EQ(written.at("p2ptool_state{state=\"ready\"}"), "1");
  EXPECT_EQ(served.at("node_textfile_scrape_error"), "0");
  EXPECT_EQ(served.count("node_textfile_mtime_seconds{file=\"" + file() + "\"}"), 1u) << body;
}

}  // namespace
