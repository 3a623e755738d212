// Runs commands and test code in a private mount namespace, so that the
// programs under test see a simulated /sys, an /etc whose writes land in a
// scratch directory and a private /dev. Nothing reaches the machine's own.
#pragma once

#include <sys/types.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct Sandbox {
  std::string sys;        // bound over /sys when set
  std::string etc_upper;  // when set, /etc is an overlay (lower: the real /etc) with this upper dir
  std::string dev;        // when set, bound over /dev, with the real /dev/null bound into it
  std::string run;        // when set, bound over /run: nothing reaches the machine's own
  // When set, the child joins the mount namespace of this process (a program
  // started in a sandbox) instead of making one: it sees that sandbox's /sys,
  // /etc, /dev and /run, and its writes raise that sandbox's inotify events.
  // The mount fields above are then ignored.
  pid_t join = 0;
  // When set (PidSpace::ns()), the child starts in that PID namespace and gets
  // a /proc of its own, which shows the processes of that namespace alone.
  // Ignored with `join`.
  std::string pids;
  // When set, a file bound over /proc/cpuinfo (after /proc is mounted): the
  // CPU flags the child sees (the hypervisor flag), whatever the machine's.
  std::string cpuinfo;
  // Further {source directory, target directory} bind mounts.
  std::vector<std::pair<std::string, std::string>> binds;
  // Further {upper directory, target directory} overlays over existing directories.
  std::vector<std::pair<std::string, std::string>> overlays;
  // Directories put first on PATH, in this order.
  std::vector<std::string> path_prepend;
  // Run as this user and group (for example 65534 to test a non-root caller).
  // Such a caller sees below sys/devices what sysfs shows an unprivileged
  // reader: of every `config` file the first 64 bytes, and every memory or
  // register window (resource0, resource2...) as an empty file of mode 0600
  // owned by root, which it cannot open.
  uid_t uid = 0;
  gid_t gid = 0;
  // Standard descriptors (0, 1, 2) the child starts with closed, as a broken
  // service manager or `>&-` leaves them: what it writes there is lost.
  std::vector<int> closed_streams;
  // Standard output a pipe whose reader is gone, as once `| head -1` ended:
  // every write there raises SIGPIPE. What it writes is lost.
  bool stdout_reader_gone = false;
};

// Exit statuses the sandbox itself produces.
constexpr int kSetupFailedStatus = 125;    // the namespace or a mount could not be set up
constexpr int kFunctionThrewStatus = 123;  // runFunction's function threw
constexpr int kCannotExecStatus = 126;     // argv[0] found but not executable
constexpr int kNotFoundStatus = 127;       // argv[0] not found on PATH

struct Result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;  // standard output
  std::string err;  // standard error
};

// Empty when sandboxes can be made on this machine; otherwise why not.
std::string sandboxUnavailableReason();

// Every child is started in a process group of its own; when it ends (or is
// killed after its timeout, status 128 + SIGKILL) what is left of its group is
// killed too, so that no process keeps the private mounts alive. Scratch
// directories that an overlay needs (siblings of its upper directory) are made
// before and removed after the child. Mounts happen in this order: sys, etc
// overlay, dev, binds, overlays, proc, cpuinfo; then PATH is set and the user
// dropped.
// A sandbox that cannot be set up ends with kSetupFailedStatus and says why
// on standard error; a malformed Sandbox (overlay path with ',' or ':', a
// missing upper directory) throws std::invalid_argument in the caller.

// Runs argv (argv[0] looked up on PATH) in a fresh sandbox and waits for it,
// at most timeout_seconds (0: no limit).
Result run(const Sandbox& box, const std::vector<std::string>& argv,
           const std::string& stdin_text = "", int timeout_seconds = 60);

// Starts argv in a fresh sandbox in the background, standard output and error
// appended to the given files. Returns the child's PID.
pid_t start(const Sandbox& box, const std::vector<std::string>& argv, const std::string& out_path,
            const std::string& err_path);

// Ends a background process started by start(): SIGTERM, then SIGKILL after a
// grace period. Returns its exit status (or 128 + signal).
int stop(pid_t pid);

// Waits up to timeout_ms for a background process to end by itself; returns
// its status, or -1 if it is still running.
int waitFor(pid_t pid, int timeout_ms);

// Forks, enters a fresh sandbox and runs fn there; returns fn's result (0 to
// 255) as the child's exit status, or 128 + signal. The child shares the
// caller's standard streams; an exception escaping fn gives
// kFunctionThrewStatus. GoogleTest assertions inside fn do not reach the
// caller's test: return a non-zero value instead.
int runFunction(const Sandbox& box, const std::function<int()>& fn, int timeout_seconds = 60);

// As runFunction, with fn's standard output and error captured.
Result runFunctionCaptured(const Sandbox& box, const std::function<int()>& fn,
                           int timeout_seconds = 60);

// Runs argv in a fresh sandbox with the caller's standard streams and process
// group (terminal signals reach it); returns its status. For the p2psim CLI.
int runAttached(const Sandbox& box, const std::vector<std::string>& argv, int timeout_seconds = 0);

}  // namespace sim

// In a test: fail with the reason under CI=true, skip with it elsewhere.
#define P2P_REQUIRE_SANDBOX()                                              \
  do {                                                                     \
    std::string p2p_reason_ = ::sim::sandboxUnavailableReason();           \
    if (!p2p_reason_.empty()) {                                            \
      const char* p2p_ci_ = getenv("CI");                                  \
      if (p2p_ci_ && std::string(p2p_ci_) == "true")                       \
        GTEST_FAIL() << "sandbox needed but unavailable: " << p2p_reason_; \
      else                                                                 \
        GTEST_SKIP() << "sandbox unavailable: " << p2p_reason_;            \
    }                                                                      \
  } while (0)
