// Runs commands and test code in a private mount namespace, so that the
// programs under test see a simulated /sys, an /etc whose writes land in a
// scratch directory and a private /dev. Nothing reaches the machine's own.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct Sandbox {
  std::string sys;        // bound over /sys when set
  std::string etc_upper;  // when set, /etc is an overlay (lower: the real /etc) with this upper dir
  std::string dev;        // when set, bound over /dev, with the real /dev/null bound into it
  // Further {source directory, target directory} bind mounts.
  std::vector<std::pair<std::string, std::string>> binds;
  // Further {upper directory, target directory} overlays over existing directories.
  std::vector<std::pair<std::string, std::string>> overlays;
  // Directories put first on PATH, in this order.
  std::vector<std::string> path_prepend;
  // Run as this user and group (for example 65534 to test a non-root caller).
  uid_t uid = 0;
  gid_t gid = 0;
};

struct Result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;  // standard output
  std::string err;  // standard error
};

// Empty when sandboxes can be made on this machine; otherwise why not.
std::string sandboxUnavailableReason();

// Runs argv (argv[0] looked up on PATH) in a fresh sandbox and waits for it.
Result run(const Sandbox& box, const std::vector<std::string>& argv, const std::string& stdin_text = "",
           int timeout_seconds = 60);

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

// Forks, enters a fresh sandbox and runs fn there; returns fn's result as the
// child's exit status (or 128 + signal).
int runFunction(const Sandbox& box, const std::function<int()>& fn);

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
