#include "tests/sim/sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/sim/tempdir.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

// Running and not a zombie waiting for its reaper.
bool alive(pid_t pid) {
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t close_paren = stat.rfind(')');
  return close_paren != std::string::npos && close_paren + 2 < stat.size() &&
         stat[close_paren + 2] != 'Z';
}

// Waits up to a second for pid to end.
bool endsSoon(pid_t pid) {
  for (int i = 0; i < 100 && alive(pid); ++i) usleep(10000);
  return !alive(pid);
}

Result sh(const Sandbox& box, const std::string& script, int timeout = 30) {
  return run(box, {"sh", "-c", script}, "", timeout);
}

struct StatusRow {
  std::vector<std::string> argv;
  int status;
};

TEST(SandboxTest, ExitStatusesPassThrough) {
  P2P_REQUIRE_SANDBOX();
  const StatusRow rows[] = {
      {{"true"}, 0},
      {{"false"}, 1},
      {{"sh", "-c", "exit 7"}, 7},
      {{"sh", "-c", "kill -TERM $$"}, 128 + SIGTERM},
      {{"p2psim-no-such-program"}, kNotFoundStatus},
  };
  for (const auto& row : rows) EXPECT_EQ(run({}, row.argv).status, row.status) << row.argv[0];
  TempDir dir;
  EXPECT_EQ(run({}, {dir.write("not-executable", "")}).status, kCannotExecStatus);
}

TEST(SandboxTest, StandardStreamsCanBeClosedOrLeftWithoutAReader) {
  P2P_REQUIRE_SANDBOX();
  for (int fd : {0, 1, 2}) {
    Sandbox box;
    box.closed_streams = {fd};
    const std::string open_check = "test -e /proc/self/fd/" + std::to_string(fd);
    EXPECT_EQ(run(box, {"sh", "-c", open_check}).status, 1) << fd;
  }
  Sandbox box;
  box.stdout_reader_gone = true;
  EXPECT_EQ(run(box, {"yes"}).status, 128 + SIGPIPE);
}

TEST(SandboxTest, CapturesOutputAndFeedsInput) {
  P2P_REQUIRE_SANDBOX();
  Result r = run({}, {"sh", "-c", "cat; echo err >&2"}, "line one\nline two\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "line one\nline two\n");
  EXPECT_EQ(r.err, "err\n");
}

TEST(SandboxTest, TimeoutKillsTheWholeGroup) {
  P2P_REQUIRE_SANDBOX();
  TempDir dir;
  auto begin = std::chrono::steady_clock::now();
  Result r = sh({}, "sleep 30 & echo $! > " + (dir / "pid") + "; wait", 1);
  EXPECT_EQ(r.status, 128 + SIGKILL);
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
  EXPECT_NE(r.err.find("timed out"), std::string::npos);
  pid_t sleeper = std::stoi(readFile(dir / "pid"));
  EXPECT_TRUE(endsSoon(sleeper));
}

TEST(SandboxTest, SysIsTheGivenTreeAndNothingLeaks) {
  P2P_REQUIRE_SANDBOX();
  TempDir dir;
  dir.write("sys/bus/pci/devices/marker", "fake sysfs\n");
  std::string mounts_before = readFile("/proc/self/mountinfo");
  Sandbox box;
  box.sys = dir / "sys";
  Result r = sh(box, "cat /sys/bus/pci/devices/marker; ls /sys");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "fake sysfs\nbus\n");
  EXPECT_EQ(readFile("/proc/self/mountinfo"), mounts_before);
  EXPECT_FALSE(fs::exists("/sys/bus/pci/devices/marker"));
}

TEST(SandboxTest, EtcWritesLandInTheUpperDirectory) {
  P2P_REQUIRE_SANDBOX();
  TempDir dir;
  Sandbox box;
  box.etc_upper = dir.subdir("etc-upper");
  Result r = sh(box,
                "mkdir -p /etc/qz/vm_p2p_cfg && echo data > /etc/qz/vm_p2p_cfg/f && "
                "test -s /etc/passwd && cat /etc/qz/vm_p2p_cfg/f");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "data\n");
  EXPECT_EQ(readFile(dir / "etc-upper/qz/vm_p2p_cfg/f"), "data\n");
  EXPECT_FALSE(fs::exists("/etc/qz/vm_p2p_cfg/f"));
  // The overlay's work directory is gone again: only the upper dir is left.
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir.path()))
    left.push_back(entry.path().filename().string());
  EXPECT_EQ(left, std::vector<std::string>{"etc-upper"});
}

TEST(SandboxTest, DevAndRunAreTestDirectoriesDevWithAWorkingNull) {
  P2P_REQUIRE_SANDBOX();
  TempDir dir;
  Sandbox box;
  box.dev = dir.subdir("dev");
  box.run = dir.subdir("run");
  dir.write("dev/tamberon0", "");
  Result r = sh(box, "echo gone > /dev/null && test -c /dev/null && ls /dev && echo x > /run/f");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "null\ntamberon0\n");
  EXPECT_TRUE(fs::is_regular_file(dir / "dev/null"));  // outside, an empty file
  EXPECT_EQ(fs::file_size(dir / "dev/null"), 0u);
  EXPECT_EQ(readFile(dir / "run/f"), "x\n");
}

// A joining child writes through the running sandbox's own /etc overlay and
// /run (so that inotify watchers there see its files; a second overlay of
// the same upper directory would show them nothing).
TEST(SandboxTest, AJoiningChildSharesTheMountsOfARunningSandbox) {
  P2P_REQUIRE_SANDBOX();
  TempDir dir;
  Sandbox box;
  box.etc_upper = dir.subdir("etc");
  box.run = dir.subdir("run");
  const pid_t first = start(box, {"sleep", "30"}, dir / "out", dir / "err");
  Sandbox joined;
  joined.join = first;
  Result r = sh(joined, "mkdir -p /etc/qz && echo x > /etc/qz/f && echo y > /run/f");
  stop(first);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(readFile(dir / "etc/qz/f"), "x\n");
  EXPECT_EQ(readFile(dir / "run/f"), "y\n");
  joined.join = getpid();  // no sandbox: the machine's own mounts are never joined
  EXPECT_THROW(sh(joined, "true"), std::runtime_error);
}

TEST(SandboxTest, NodesCreatedOutsideRaiseInotifyEventsInside) {
  P2P_REQUIRE_SANDBOX();
  TempDir dir;
  Sandbox box;
  box.dev = dir.subdir("dev");
  std::string ready = dir / "watching";
  std::thread creator([&] {
    for (int i = 0; i < 1000 && !fs::exists(ready); ++i) usleep(5000);
    dir.write("dev/tamberon_ctl0", "");
  });
  // Only system calls in the child: the creator thread does not exist there.
  int status = runFunction(box, [&ready] {
    int fd = inotify_init();
    if (fd < 0 || inotify_add_watch(fd, "/dev", IN_CREATE | IN_DELETE) < 0) return 2;
    close(open(ready.c_str(), O_WRONLY | O_CREAT, 0644));
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) != 1) return 3;
    alignas(struct inotify_event) char buffer[4096];
    ssize_t got = read(fd, buffer, sizeof buffer);
    auto* event = reinterpret_cast<struct inotify_event*>(buffer);
    if (got <= 0 || !(event->mask & IN_CREATE)) return 4;
    return strstr(event->name, "tamberon") ? 0 : 5;
  });
  creator.join();
  EXPECT_EQ(status, 0);
}

TEST(SandboxTest, PathPrependAndBindsAndOverlays) {
  P2P_REQUIRE_SANDBOX();
  TempDir dir;
  std::string bin = dir.subdir("bin");
  dir.write("bin/whoami", "#!/bin/sh\necho sandboxed\n");
  chmod((bin + "/whoami").c_str(), 0755);
  dir.write("src/file", "bound\n");
  dir.write("target/file", "original\n");
  dir.write("lower/keep", "lower\n");
  Sandbox box;
  box.path_prepend = {bin};
  box.binds = {{dir / "src", dir / "target"}};
  box.overlays = {{dir.subdir("upper"), dir / "lower"}};
  Result r = sh(box, "whoami; cat " + (dir / "target/file") + " " + (dir / "lower/keep") +
                         "; echo new > " + (dir / "lower/new"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "sandboxed\nbound\nlower\n");
  EXPECT_EQ(readFile(dir / "target/file"), "original\n");
  EXPECT_EQ(readFile(dir / "upper/new"), "new\n");
  EXPECT_FALSE(fs::exists(dir / "lower/new"));
}

TEST(SandboxTest, DropsToTheGivenUserWhoSeesTheFirst64BytesOfConfigSpaceAndNoWindow) {
  P2P_REQUIRE_SANDBOX();
  TempDir dir;
  const std::string config = "devices/pci0000:00/0000:00:01.0/config";
  const std::string window = "devices/pci0000:00/0000:00:01.0/resource0";
  dir.write("sys/" + config, std::string(4096, 'c'));
  dir.write("sys/" + window, "w");  // readable by all here; root's alone in sysfs
  chmod((dir / ("sys/" + window)).c_str(), 0644);
  Sandbox box;
  box.sys = dir / "sys";
  EXPECT_EQ(sh(box, "wc -c < /sys/" + config).out, "4096\n");
  box.uid = 65534;
  box.gid = 65534;
  Result r = sh(box, "id -u; id -g; id -G; wc -c < /sys/" + config + "; stat -c '%a %u' /sys/" +
                         window + "; cat /sys/" + window + " || echo denied");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "65534\n65534\n65534\n64\n600 0\ndenied\n");
  EXPECT_EQ(readFile(dir / ("sys/" + config)), std::string(4096, 'c'));
}

TEST(SandboxTest, MalformedSandboxIsRefusedInTheCaller) {
  P2P_REQUIRE_SANDBOX();
  TempDir dir;
  Sandbox missing;
  missing.etc_upper = dir / "no-such-dir";
  EXPECT_THROW(run(missing, {"true"}), std::invalid_argument);
  Sandbox comma;
  comma.overlays = {{dir.subdir("a,b"), dir.subdir("t")}};
  EXPECT_THROW(run(comma, {"true"}), std::invalid_argument);
  EXPECT_THROW(run({}, {}), std::invalid_argument);
}

TEST(SandboxTest, FunctionsRunInsideAndReportTheirResult) {
  P2P_REQUIRE_SANDBOX();
  TempDir dir;
  dir.write("sys/marker", "");
  Sandbox box;
  box.sys = dir / "sys";
  EXPECT_EQ(runFunction(box, [] { return fs::exists("/sys/marker") ? 42 : 1; }), 42);
  EXPECT_EQ(runFunction(box, []() -> int { throw std::runtime_error("boom"); }),
            kFunctionThrewStatus);
  Result r = runFunctionCaptured(box, [] {
    printf("to stdout ");
    fprintf(stderr, "to stderr");
    return 3;
  });
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, "to stdout ");
  EXPECT_EQ(r.err, "to stderr");
}

// In a plain chroot / is no mount point: the error says so and how to fix it.
TEST(SandboxTest, InsideAPlainChrootTheErrorSaysHowToFixIt) {
  P2P_REQUIRE_SANDBOX();
  TempDir root;
  const std::string null = root.write("dev/null", "");
  Result r = runFunctionCaptured({}, [&] {
    if (mount("/dev/null", null.c_str(), nullptr, MS_BIND, nullptr) != 0) return 98;
    if (chroot(root.path().c_str()) != 0 || chdir("/") != 0) return 99;
    Result inner = run({}, {"true"});
    fputs(inner.err.c_str(), stderr);
    return inner.status;
  });
  EXPECT_EQ(r.status, kSetupFailedStatus);
  EXPECT_NE(r.err.find("sandbox: cannot make mounts private /: Invalid argument\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("bind-mount the root onto itself before entering the chroot"),
            std::string::npos);
}

TEST(SandboxTest, BackgroundProcessesAreStoppedWithTheirGroup) {
  P2P_REQUIRE_SANDBOX();
  TempDir dir;
  std::string out = dir / "out";
  std::string err = dir / "err";
  pid_t quick = start({}, {"sh", "-c", "echo hello; echo oops >&2; exit 4"}, out, err);
  EXPECT_EQ(waitFor(quick, 10000), 4);
  EXPECT_EQ(readFile(out), "hello\n");
  EXPECT_EQ(readFile(err), "oops\n");

  pid_t daemon =
      start({}, {"sh", "-c", "sleep 30 & echo $! > " + (dir / "pid") + "; wait"}, out, err);
  for (int i = 0; i < 500 && !fs::exists(dir / "pid"); ++i) usleep(10000);
  EXPECT_EQ(waitFor(daemon, 50), -1);
  EXPECT_EQ(stop(daemon), 128 + SIGTERM);
  pid_t sleeper = std::stoi(readFile(dir / "pid"));
  EXPECT_TRUE(endsSoon(sleeper));
  EXPECT_EQ(readFile(out), "hello\n");  // appended to, never truncated
}

}  // namespace
}  // namespace sim
