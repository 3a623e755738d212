#include "tests/bench/driver_load.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>
#include <utility>

#include "tests/bench/bench_fabric.h"
#include "tests/sim/notify_socket.h"
#include "tests/sim/sandbox.h"
#include "tests/sim/tempdir.h"

namespace bench {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using GpuPairs = std::vector<std::pair<std::string, std::string>>;

constexpr auto kLoadSpread = std::chrono::milliseconds(1000);
// No driver line for this long ends a load: beyond the longest a daemon puts
// off a pass, plus a pass's start.
constexpr auto kQuiet = std::chrono::milliseconds(3000);
constexpr auto kLinePoll = std::chrono::milliseconds(2);
constexpr int kReadyTimeoutMs = 600000;
constexpr char kPeerDir[] = "qz/vm_p2p_cfg";
constexpr char kNodePrefix[] = "tamberon";
constexpr char kReady[] = "READY=1";

double msBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

// The peer file p2ptool -r stores for each guest GPU: its host GPU's exchange area.
void storePeerFiles(const sim::Fabric& host, const HostLayout& layout, const GpuPairs& pairs,
                    const std::string& etc_upper) {
  std::map<std::string, std::vector<std::string>> group_of;
  for (const auto& group : layout.groups)
    for (const auto& gpu : group) group_of[gpu] = group;
  const fs::path dir = fs::path(etc_upper) / kPeerDir;
  fs::create_directories(dir);
  for (const auto& [guest_gpu, host_gpu] : pairs) {
    auto members = group_of.at(host_gpu);
    std::sort(members.begin(), members.end());
    std::vector<uint64_t> words = {sim::packBdf(host_gpu) | (1 + 2 * members.size()) << 32};
    for (const auto& member : members) {
      words.push_back(sim::packBdf(member));
      words.push_back(host.bar0(member));
    }
    std::ofstream(dir / guest_gpu, std::ios::binary)
        .write(reinterpret_cast<const char*>(words.data()),
               static_cast<std::streamsize>(words.size() * sizeof(uint64_t)));
  }
}

// p2pwatch in a sandbox, started as systemd starts a notify service: it
// reports READY=1 on a notification socket of this process.
class NotifiedWatch {
 public:
  NotifiedWatch(const sim::Sandbox& box, const std::string& program) {
    setenv(sim::NotifySocket::kVariable, notify_.address().c_str(), 1);
    pid_ = sim::start(box, {program}, logs_ / "out", logs_ / "err");
    unsetenv(sim::NotifySocket::kVariable);
  }
  NotifiedWatch(const NotifiedWatch&) = delete;
  NotifiedWatch& operator=(const NotifiedWatch&) = delete;
  ~NotifiedWatch() { sim::stop(pid_); }

  // Waits for READY=1; false on a timeout.
  bool awaitReady() { return notify_.awaitLine(kReady, kReadyTimeoutMs); }
  size_t outLines() const {
    const std::string text = sim::readFile(logs_ / "out");
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  }
  std::string err() const { return sim::readFile(logs_ / "err"); }
  uintmax_t outSize() const {
    std::error_code ec;
    const uintmax_t size = fs::file_size(logs_ / "out", ec);
    return ec ? 0 : size;
  }

 private:
  sim::NotifySocket notify_;
  sim::TempDir logs_{"p2pbench-load"};
  pid_t pid_ = -1;
};

size_t linesReceived(sim::Fabric& guest, const GpuPairs& pairs) {
  size_t lines = 0;
  for (const auto& pair : pairs) lines += guest.itrDebugLines(pair.first).size();
  return lines;
}

// The driver binds GPU i and creates its node at i / N of the spread. Returns
// the time of the last node.
Clock::time_point loadDriver(sim::Fabric& guest, const GpuPairs& pairs, const std::string& dev) {
  const auto start = Clock::now();
  for (size_t i = 0; i < pairs.size(); ++i) {
    std::this_thread::sleep_until(start + kLoadSpread * i / pairs.size());
    guest.bindDriver(pairs[i].first, std::to_string(i));
    std::ofstream(dev + "/" + kNodePrefix + std::to_string(i)) << "";
  }
  return Clock::now();
}

// Follows the daemon's output, whose line for a GPU follows that GPU's last
// driver line, until it stayed the same for kQuiet; the time it last grew.
// Watching one file's size keeps this loop from competing with the daemon.
Clock::time_point lastLine(const NotifiedWatch& watch, Clock::time_point since) {
  Clock::time_point last = since;
  for (uintmax_t size = watch.outSize(); Clock::now() - last < kQuiet;) {
    std::this_thread::sleep_for(kLinePoll);
    const uintmax_t now_size = watch.outSize();
    if (now_size != size) last = Clock::now();
    size = now_size;
  }
  return last;
}

}  // namespace

DriverLoad measureDriverLoad(size_t gpus, const std::string& bin_dir) {
  sim::TempDir scratch("p2pbench-load");
  sim::Fabric host(scratch.subdir("host"));
  sim::Fabric guest(scratch.subdir("guest"));
  const HostLayout layout = buildHostFabric(host, gpus);
  const GpuPairs pairs = buildGuestFabric(guest, host);
  sim::Sandbox box;
  box.sys = guest.sysDir();
  box.etc_upper = scratch.subdir("etc");
  box.dev = scratch.subdir("dev");
  box.run = scratch.subdir("run");
  storePeerFiles(host, layout, pairs, box.etc_upper);

  DriverLoad load;
  load.gpus = pairs.size();
  load.pass_shells = driverCommands(layout);
  const std::string program = bin_dir + "/p2pwatch";
  {
    NotifiedWatch watch(box, program);
    if (!watch.awaitReady()) load.problem = "p2pwatch did not report ready";
    const auto last_node = loadDriver(guest, pairs, box.dev);
    load.last_node_ms = msBetween(last_node, lastLine(watch, last_node));
    load.shells = linesReceived(guest, pairs);
    load.passes = watch.outLines() / std::max<size_t>(1, pairs.size());
    if (!watch.err().empty()) load.problem = "standard error: " + watch.err();
  }
  // One pass on its own: the start-up pass over the loaded driver.
  const auto start = Clock::now();
  NotifiedWatch again(box, program);
  if (!again.awaitReady()) load.problem = "restarted p2pwatch did not report ready";
  load.one_pass_ms = msBetween(start, Clock::now());
  if (load.shells % std::max<size_t>(1, load.pass_shells) != 0 || load.shells == 0)
    load.problem = "driver lines missing";
  return load;
}

std::string driverLoadTable(const std::vector<DriverLoad>& rows) {
  std::string text =
      "Driver load: the driver binds the GPUs across 1 s, one /dev node each, p2pwatch running\n\n"
      "|  GPUs | passes | shells (one pass) | last node to last line ms | one pass ms | ratio | "
      "check |\n"
      "|------:|-------:|------------------:|--------------------------:|------------:|------:|----"
      "---|\n";
  for (const DriverLoad& row : rows) {
    char line[256];
    snprintf(line, sizeof line, "| %5zu | %6zu | %8zu (%6zu) | %25.1f | %11.1f | %5.2f | %s |\n",
             row.gpus, row.passes, row.shells, row.pass_shells, row.last_node_ms, row.one_pass_ms,
             row.one_pass_ms > 0 ? row.last_node_ms / row.one_pass_ms : 0.0,
             row.problem.empty() ? "ok" : row.problem.c_str());
    text += line;
  }
  return text +
         "\npasses: p2pwatch output lines / GPUs. shells: driver lines received (one per shell).\n"
         "one pass: from starting p2pwatch over the loaded driver to its READY=1, which follows\n"
         "  its start-up pass (sandbox start included). ratio: last node to last line / one "
         "pass.\n";
}

}  // namespace bench
