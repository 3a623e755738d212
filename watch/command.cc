#include "watch/command.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "common/util/scoped.h"

namespace {

constexpr char kShell[] = "/bin/sh";
constexpr int kExecFailedStatus = 127;
constexpr useconds_t kFallbackPollMicros = 1000;  // kernels without pidfd_open

using Clock = std::chrono::steady_clock;

// Runs in the child before exec: own process group, killed when the daemon
// dies (also when it died before the request took hold).
[[noreturn]] void execShell(const std::string& command, pid_t daemon) {
  setpgid(0, 0);
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  signal(SIGPIPE, SIG_DFL);  // the daemon ignores it; a shell starts as any other
  if (getppid() != daemon) _exit(kExecFailedStatus);
  execl(kShell, "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
  _exit(kExecFailedStatus);
}

// A started shell. Unless it has been reaped, its whole process group is
// killed and the shell reaped when this goes out of scope.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid), pidfd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {
    setpgid(pid_, pid_);  // also here: no window in which a kill misses the group
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    reap();
  }

  // Waits until the shell ends or `deadline` passes; true when it ended.
  bool waitUntil(Clock::time_point deadline) {
    while (!ended()) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd fd = {pidfd_.get(), POLLIN, 0};
      if (!pidfd_.valid() || poll(&fd, 1, static_cast<int>(left.count()) + 1) < 0)
        usleep(kFallbackPollMicros);
    }
    return true;
  }
  // The exit status of an ended shell. Whatever it left running in its group
  // is killed first: until reaped, the shell keeps the group's number ours.
  int reap() {
    const pid_t pid = std::exchange(pid_, -1);
    kill(-pid, SIGKILL);
    int status = -1;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
  }

 private:
  bool ended() const {
    siginfo_t info = {};
    return waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid_;
  }

  pid_t pid_;
  ScopedFd pidfd_;
};

}  // namespace

CommandOutcome runBounded(const std::string& command, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  fflush(stdout);  // the child must not repeat what is buffered
  const pid_t daemon = getpid();
  const pid_t pid = fork();
  if (pid < 0) return CommandOutcome::kFailed;
  if (pid == 0) execShell(command, daemon);
  Child child(pid);
  if (!child.waitUntil(deadline)) return CommandOutcome::kTimedOut;
  const int status = child.reap();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? CommandOutcome::kSucceeded
                                                       : CommandOutcome::kFailed;
}
