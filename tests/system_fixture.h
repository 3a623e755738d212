// Shared ground of the system tests: a host fabric in a scratch directory, a
// sandbox that shows it as /sys with /etc and /dev of its own, and a logging
// setpci first on PATH.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/sim/fabric.h"
#include "tests/sim/fake_command.h"
#include "tests/sim/guest_process.h"
#include "tests/sim/pid_space.h"
#include "tests/sim/presets.h"
#include "tests/sim/sandbox.h"
#include "tests/sim/tempdir.h"

namespace systest {

inline constexpr char kP2ptool[] = P2P_BIN_DIR "/p2ptool";
inline constexpr char kP2pwatch[] = P2P_BIN_DIR "/p2pwatch";
inline constexpr uid_t kNobody = 65534;
inline constexpr char kPeerDir[] = "qz/vm_p2p_cfg";  // below the /etc overlay's upper dir

// The exchange area a GPU of `group` (BDF -> BAR0) must carry, worked out
// independently of the tool.
inline std::vector<uint64_t> expectedArea(const std::string& self,
                                          const std::map<std::string, uint64_t>& group) {
  const uint64_t words = 1 + 2 * group.size();
  std::vector<uint64_t> area = {sim::packBdf(self) | words << 32};
  for (const auto& [bdf, bar0] : group) {
    area.push_back(sim::packBdf(bdf));
    area.push_back(bar0);
  }
  return area;
}

// Every file and directory below `root` (named relative to it) with its
// bytes; "" for anything but a regular file.
inline std::map<std::string, std::string> snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    const std::string name = std::filesystem::relative(entry.path(), root).string();
    const bool regular = entry.is_regular_file() && !entry.is_symlink();
    files[name] = regular ? sim::readFile(entry.path().string()) : "";
  }
  return files;
}

// The value of `key` in the unit file dist/<unit> ("" when it has none).
inline std::string unitValue(const std::string& unit, const std::string& key) {
  std::ifstream file(P2P_SOURCE_DIR "/dist/" + unit);
  std::string line;
  while (std::getline(file, line))
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return "";
}

// setpriv's capability list ("-all,+sys_admin,...") of a unit's
// CapabilityBoundingSet, read from the unit (p2ptool.service by default).
inline std::string unitCapabilities(const std::string& unit = "p2ptool.service.in") {
  std::string list = "-all";
  std::istringstream words(unitValue(unit, "CapabilityBoundingSet"));
  for (std::string cap; words >> cap;) {
    std::transform(cap.begin(), cap.end(), cap.begin(), ::tolower);
    list += ",+" + cap.substr(strlen("cap_"));
  }
  return list;
}

// Series -> value of a text in the Prometheus text format, each series as
// written ("name{label=\"value\",...}"); comments and blank lines skipped.
inline std::map<std::string, std::string> metricSeries(const std::string& text) {
  std::map<std::string, std::string> series;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const size_t space = line.rfind(' ');
    if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
    series[line.substr(0, space)] = line.substr(space + 1);
  }
  return series;
}

// What starts p2ptool with no capability but `caps` (setpriv's list), as
// systemd starts a unit's program: a prefix for FabricTest::tool().
inline std::vector<std::string> withCapabilities(const std::string& caps) {
  return {"setpriv", "--bounding-set", caps, "--inh-caps", caps, "--ambient-caps", caps, "--"};
}

// A copy of `program` in a scratch directory every user may enter, for runs as
// another user: the build tree may lie below a directory only its owner can
// enter (a checkout under /root). Removed with the copy's owner.
class ReachableCopy {
 public:
  explicit ReachableCopy(const std::string& program)
      : path_(dir_ / std::filesystem::path(program).filename().string()) {
    namespace fs = std::filesystem;
    const auto readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                          fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(dir_.path(), readable);
    fs::copy_file(program, path_);
    fs::permissions(path_, readable);
  }
  const std::string& path() const { return path_; }

 private:
  sim::TempDir dir_{"p2p-bin"};
  std::string path_;
};

class FabricTest : public ::testing::Test {
 protected:
  void SetUp() override {
    P2P_REQUIRE_SANDBOX();
    for (const sim::TempDir* dir : {&etc_, &run_})  // every user may enter /etc and /run
      std::filesystem::permissions(dir->path(), std::filesystem::perms(0755));
    box_.sys = host_.sysDir();
    box_.etc_upper = etc_.path();
    box_.dev = dev_.path();
    box_.run = run_.path();
    box_.path_prepend = {setpci_.dir()};
    // The tests' machine may be a virtual machine: every run sees a CPU of
    // its fabric's, by default one without the hypervisor flag.
    host_.setHypervisorFlag(false);
    box_.cpuinfo = host_.cpuinfoPath();
  }

  // Runs p2ptool with `args` in the sandbox over `fabric`'s tree and CPU (the
  // host's when it has none), as user `uid` (who sees what sysfs shows such a
  // user: sandbox.h), in the test's PID namespace, started through `prefix`
  // (a command and its arguments).
  sim::Result tool(const std::vector<std::string>& args, const sim::Fabric& fabric, uid_t uid = 0,
                   const std::vector<std::string>& prefix = {}) {
    sim::Sandbox box = box_;
    box.sys = fabric.sysDir();
    if (!fabric.cpuinfoPath().empty()) box.cpuinfo = fabric.cpuinfoPath();
    box.uid = box.gid = uid;
    box.pids = pids_.ns();
    std::optional<ReachableCopy> copy;
    if (uid != 0) copy.emplace(kP2ptool);
    std::vector<std::string> argv = prefix;
    argv.push_back(copy ? copy->path() : kP2ptool);
    argv.insert(argv.end(), args.begin(), args.end());
    return sim::run(box, argv);
  }
  sim::Result tool(const std::vector<std::string>& args = {}) { return tool(args, host_); }

  // setpci calls of the run other than the discovery probes.
  std::vector<std::string> acsCalls() const {
    std::vector<std::string> calls;
    for (const auto& call : setpci_.calls())
      if (call.find("CAP_EXP+4.w") == std::string::npos) calls.push_back(call);
    return calls;
  }

  // A stand-in guest holding `node` open, in the PID namespace p2ptool runs in.
  std::unique_ptr<sim::GuestProcess> guest(const std::string& node,
                                           const std::string& name = sim::kGuestProcessName,
                                           uid_t uid = 0) {
    return std::make_unique<sim::GuestProcess>(node, name, uid, pids_.ns());
  }

  std::string peerFile(const std::string& bdf) const {
    return etc_.path() + "/" + kPeerDir + "/" + bdf;
  }

  sim::TempDir dir_{"p2p-fabric"};
  sim::TempDir etc_{"p2p-etc"};
  sim::TempDir dev_{"p2p-dev"};
  sim::TempDir run_{"p2p-run"};
  sim::FakeCommand setpci_ = sim::loggingSetpci();
  sim::Fabric host_{dir_.path()};
  sim::Sandbox box_;
  // Only the test's processes are in sight of p2ptool (pid_space.h).
  sim::PidSpace pids_;
};

// The demo's host fabric and its passthrough guest.
class PresetTest : public FabricTest {
 protected:
  void SetUp() override {
    FabricTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    sim::buildHostPreset(host_);
    pairs_ = sim::buildGuestPreset(guest_, host_);
  }

  sim::TempDir guest_dir_{"p2p-guest"};
  sim::Fabric guest_{guest_dir_.path()};
  std::vector<std::pair<std::string, std::string>> pairs_;  // {guest GPU, host GPU}
};

// Seconds since 1970 of an ISO 8601 time with its offset, as the JSON
// documents give it ("2026-12-07T12:00:03+01:00"); -1 when malformed.
inline time_t isoSeconds(const std::string& text) {
  struct tm time {};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S%z", &time);
  return end && *end == '\0' ? timegm(&time) - time.tm_gmtoff : -1;
}

// True under CI=true, where a test fails for what it would skip elsewhere.
inline bool inCi() {
  const char* ci = getenv("CI");
  return ci && std::string(ci) == "true";
}

// Polls `done` every 20 ms until it holds or `timeout_ms` passes.
inline bool eventually(const std::function<bool()>& done, int timeout_ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// While it lives, the programs the tests start flush every path matching
// `pattern` (fnmatch; nullptr: none) in vain, through the preloaded p2pfailfsync.
class FailingFsync {
 public:
  explicit FailingFsync(const char* pattern) {
    if (!pattern) return;
    setenv("LD_PRELOAD", P2P_FAILFSYNC_LIB, 1);
    setenv("P2P_FSYNC_FAILS", pattern, 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
  }
  FailingFsync(const FailingFsync&) = delete;
  FailingFsync& operator=(const FailingFsync&) = delete;
  ~FailingFsync() {
    for (const char* name : {"LD_PRELOAD", "P2P_FSYNC_FAILS", "ASAN_OPTIONS"}) unsetenv(name);
  }
};

// A daemon started in a sandbox, ended by its PID when the test is done.
class Daemon {
 public:
  // `env` is added to the daemon's environment only. With `journal`, the
  // daemon's standard output is what JOURNAL_STREAM names, as under systemd.
  Daemon(const sim::Sandbox& box, const std::vector<std::string>& argv,
         std::map<std::string, std::string> env = {}, bool journal = false) {
    if (journal) env["JOURNAL_STREAM"] = journalStream(logs_ / "out");
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    pid_ = sim::start(box, argv, logs_ / "out", logs_ / "err");
    for (const auto& entry : env) unsetenv(entry.first.c_str());
  }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;
  ~Daemon() {
    if (pid_ > 0) stop();
  }

  int stop() { return sim::stop(std::exchange(pid_, -1)); }
  // Its exit status once it ends by itself within timeout_ms, else -1.
  int waitForExit(int timeout_ms) {
    const int status = sim::waitFor(pid_, timeout_ms);
    if (status >= 0) pid_ = -1;
    return status;
  }
  bool running() const { return pid_ > 0 && ::kill(pid_, 0) == 0; }
  pid_t pid() const { return pid_; }

  // True once the daemon holds an inotify descriptor with a watch on it.
  bool watching() const {
    const std::string proc = "/proc/" + std::to_string(pid_);
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator(proc + "/fd", ec)) {
      if (std::filesystem::read_symlink(fd.path(), ec) != "anon_inode:inotify") continue;
      if (sim::readFile(proc + "/fdinfo/" + fd.path().filename().string()).find("inotify wd:") !=
          std::string::npos)
        return true;
    }
    return false;
  }
  std::string out() const { return sim::readFile(logs_ / "out"); }
  std::string err() const { return sim::readFile(logs_ / "err"); }
  size_t outLines() const {
    const std::string text = out();
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  }

 private:
  // Creates `path` and names it as journald names its stream: "device:inode".
  static std::string journalStream(const std::string& path) {
    std::ofstream(path).flush();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path);
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  }

  sim::TempDir logs_{"p2p-daemon"};
  pid_t pid_ = -1;
};

}  // namespace systest
