#include "tests/bench/runner.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

namespace bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr char kStrace[] = "/usr/bin/strace";
constexpr const char* kStraceOptions[] = {
    "-f", "-qq", "-e", "trace=execve,fork,vfork,clone,clone3", "-e", "signal=none", "-o"};
constexpr char kTrue[] = "/bin/true";
constexpr char kP2ptool[] = "p2ptool";
constexpr char kP2pwatch[] = "p2pwatch";
constexpr char kNodePrefix[] = "tamberon";  // device nodes of the GPU driver
constexpr char kInotifyLink[] = "anon_inode:inotify";
constexpr char kInotifyWatchMark[] = "inotify wd:";
constexpr int kRunTimeoutSeconds = 900;
constexpr auto kPollInterval = std::chrono::milliseconds(1);
constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr auto kPassTimeout = std::chrono::seconds(600);

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

bool waitUntil(const std::function<bool()>& done, Clock::duration timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(kPollInterval);
  }
  return true;
}

std::string procDir(pid_t pid) { return "/proc/" + std::to_string(pid); }

// The process and all its descendants.
std::vector<pid_t> processTree(pid_t root) {
  std::vector<pid_t> tree = {root};
  for (size_t i = 0; i < tree.size(); ++i) {
    const std::string dir = procDir(tree[i]);
    std::ifstream children(dir + "/task/" + std::to_string(tree[i]) + "/children");
    for (pid_t child; children >> child;) tree.push_back(child);
  }
  return tree;
}

// True once the process holds an inotify descriptor with a watch on it.
bool holdsInotifyWatch(pid_t pid) {
  const std::string dir = procDir(pid);
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator(dir + "/fd", ec)) {
    if (fs::read_symlink(fd.path(), ec) != kInotifyLink) continue;
    if (sim::readFile(dir + "/fdinfo/" + fd.path().filename().string()).find(kInotifyWatchMark) !=
        std::string::npos)
      return true;
  }
  return false;
}

// A program started in a sandbox in the background, stopped by its PID.
class Daemon {
 public:
  Daemon(const sim::Sandbox& box, const std::vector<std::string>& argv)
      : pid_(sim::start(box, argv, logs_ / "out", logs_ / "err")) {}
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;
  ~Daemon() { stop(); }

  void stop() {
    if (pid_ > 0) sim::stop(std::exchange(pid_, -1));
  }
  // The daemon, or the program it runs (under strace), watches /dev.
  bool watching() const {
    const auto tree = processTree(pid_);
    return std::any_of(tree.begin(), tree.end(), holdsInotifyWatch);
  }
  size_t outLines() const {
    const std::string text = sim::readFile(logs_ / "out");
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  }
  std::string err() const { return sim::readFile(logs_ / "err"); }

 private:
  sim::TempDir logs_{"p2pbench-daemon"};
  pid_t pid_;
};

// Creates a driver node in the sandbox's /dev; waits until the daemon has
// printed `lines` lines in all. Returns the time taken, or -1 on a timeout.
double watchPass(const Daemon& daemon, const std::string& dev, int pass, size_t lines) {
  const auto start = Clock::now();
  std::ofstream(dev + "/" + kNodePrefix + std::to_string(pass)) << "";
  if (!waitUntil([&] { return daemon.outLines() >= lines; }, kPassTimeout)) return -1;
  return msSince(start);
}

sim::Sandbox sandboxOver(const sim::Fabric& fabric, const sim::TempDir& scratch,
                         const std::string& name) {
  sim::Sandbox box;
  box.sys = fabric.sysDir();
  box.etc_upper = scratch.subdir("etc-" + name);
  box.dev = scratch.subdir("dev-" + name);
  box.run = scratch.subdir("run-" + name);
  return box;
}

}  // namespace

FabricBench::FabricBench(size_t gpus, std::string bin_dir)
    : bin_dir_(std::move(bin_dir)),
      scratch_("p2pbench"),
      host_(scratch_.subdir("host")),
      guest_(scratch_.subdir("guest")),
      layout_(buildHostFabric(host_, gpus)),
      pairs_(buildGuestFabric(guest_, host_)),
      host_box_(sandboxOver(host_, scratch_, "host")),
      guest_box_(sandboxOver(guest_, scratch_, "guest")) {}

Measurement FabricBench::measure(Mode mode, int runs) {
  return mode == Mode::kWatch ? measureWatch(runs) : measureTool(mode, runs);
}

std::vector<std::string> FabricBench::tracedArgv(const std::vector<std::string>& argv,
                                                 const std::string& trace) const {
  std::vector<std::string> traced = {kStrace};
  traced.insert(traced.end(), std::begin(kStraceOptions), std::end(kStraceOptions));
  traced.push_back(trace);
  traced.insert(traced.end(), argv.begin(), argv.end());
  return traced;
}

Measurement FabricBench::measureTool(Mode mode, int runs) {
  const sim::Sandbox& box = mode == Mode::kRead ? guest_box_ : host_box_;
  std::vector<std::string> argv = {bin_dir_ + "/" + kP2ptool};
  for (const auto& arg : toolArguments(mode)) argv.push_back(arg);
  Measurement m;
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    const sim::Result result = sim::run(box, argv, "", kRunTimeoutSeconds);
    times.push_back(msSince(start));
    if (result.status != 0) m.problem = "exit status " + std::to_string(result.status);
  }
  m.wall_ms = median(times);
  const std::string trace = scratch_ / ("trace-" + std::to_string(++traces_));
  const sim::Result traced = sim::run(box, tracedArgv(argv, trace), "", kRunTimeoutSeconds);
  if (traced.status != 0) m.problem = "traced run: exit status " + std::to_string(traced.status);
  m.counts = countProcessesInFile(trace);
  return m;
}

size_t FabricBench::driverLinesReceived() {
  size_t lines = 0;
  for (const auto& pair : pairs_) lines += guest_.itrDebugLines(pair.first).size();
  return lines;
}

Measurement FabricBench::measureWatch(int runs) {
  for (size_t i = 0; i < pairs_.size(); ++i) guest_.bindDriver(pairs_[i].first, std::to_string(i));
  Measurement m;
  timeWatchPasses(runs, m);
  traceWatchPass(runs, m);
  return m;
}

// Passes 0 to runs - 1, in one daemon.
void FabricBench::timeWatchPasses(int runs, Measurement& m) {
  Daemon daemon(guest_box_, {bin_dir_ + "/" + kP2pwatch});
  if (!waitUntil([&] { return daemon.watching(); }, kStartTimeout)) {
    m.problem = "p2pwatch did not start watching";
    return;
  }
  std::vector<double> times;
  for (int pass = 0; pass < runs; ++pass)
    times.push_back(watchPass(daemon, guest_box_.dev, pass, pairs_.size() * (pass + 1)));
  m.wall_ms = median(times);
  if (std::count(times.begin(), times.end(), -1.0) > 0) m.problem = "a pass timed out";
  if (!daemon.err().empty()) m.problem = "standard error: " + daemon.err();
  if (driverLinesReceived() != driverCommands(layout_) * runs) m.problem = "driver lines missing";
}

// Pass `pass` (the passes before it done), in a daemon under strace.
void FabricBench::traceWatchPass(int pass, Measurement& m) {
  const std::string trace = scratch_ / ("trace-" + std::to_string(++traces_));
  Daemon traced(guest_box_, tracedArgv({bin_dir_ + "/" + kP2pwatch}, trace));
  if (!waitUntil([&] { return traced.watching(); }, kStartTimeout)) {
    m.problem = "traced p2pwatch did not start watching";
    return;
  }
  if (watchPass(traced, guest_box_.dev, pass, pairs_.size()) < 0)
    m.problem = "traced pass timed out";
  traced.stop();  // strace writes out its trace as it ends
  if (driverLinesReceived() != driverCommands(layout_) * (pass + 1))
    m.problem = "traced pass: driver lines missing";
  m.counts = countProcessesInFile(trace);
}

double sandboxStartMs(int runs) {
  const sim::Sandbox box;
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    const auto start = Clock::now();
    sim::run(box, {kTrue});
    times.push_back(msSince(start));
  }
  return median(times);
}

}  // namespace bench
