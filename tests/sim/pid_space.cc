#include "tests/sim/pid_space.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <system_error>

namespace sim {
namespace {

constexpr char kOwnNamespace[] = "/proc/self/ns/pid";
constexpr char kNsPidField[] = "NSpid:";

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), "PID namespace: " + what);
}

// The init: children it inherits are reaped by the kernel (SIGCHLD ignored).
// It holds no descriptor of the test's.
[[noreturn]] void initLoop() {
  close_range(0, ~0U, 0);
  signal(SIGCHLD, SIG_IGN);
  for (;;) pause();
}

}  // namespace

PidSpace::PidSpace() {
  ScopedFd own(open(kOwnNamespace, O_RDONLY | O_CLOEXEC));
  if (!own.valid()) fail(kOwnNamespace);
  if (unshare(CLONE_NEWPID) != 0) fail("unshare");
  init_.reset(fork());
  if (init_.get() == 0) initLoop();
  const int fork_error = errno;
  if (setns(own.get(), CLONE_NEWPID) != 0) fail("setns back");
  errno = fork_error;
  if (init_.get() < 0) fail("fork");
  ns_ = "/proc/" + std::to_string(init_.get()) + "/ns/pid";
}

ChildrenIn::ChildrenIn(const std::string& ns) {
  if (ns.empty()) return;
  own_.reset(open(kOwnNamespace, O_RDONLY | O_CLOEXEC));
  ScopedFd target(open(ns.c_str(), O_RDONLY | O_CLOEXEC));
  if (!own_.valid() || !target.valid()) fail("open " + ns);
  if (setns(target.get(), CLONE_NEWPID) != 0) fail("setns " + ns);
}

ChildrenIn::~ChildrenIn() {
  if (own_.valid()) setns(own_.get(), CLONE_NEWPID);
}

pid_t innermostPid(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(kNsPidField, 0) != 0) continue;
    std::istringstream fields(line.substr(sizeof kNsPidField - 1));
    pid_t last = pid;
    for (pid_t value; fields >> value;) last = value;
    return last;
  }
  return pid;
}

}  // namespace sim
