#include "tests/sim/guest_process.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <system_error>

#include "common/util/scoped.h"
#include "tests/sim/pid_space.h"

namespace sim {
namespace {

// Child side, system calls only: name, user, open, report, wait to be killed.
// A process that changed its user is made dumpable again, so that its user
// may list its descriptors.
[[noreturn]] void holdOpen(const std::string& path, const std::string& name, uid_t uid,
                           int report) {
  int result = 0;
  if (prctl(PR_SET_NAME, name.c_str(), 0, 0, 0) != 0 ||
      (uid != 0 && (setgid(uid) != 0 || setuid(uid) != 0 || prctl(PR_SET_DUMPABLE, 1) != 0)) ||
      open(path.c_str(), O_PATH) < 0)
    result = errno;
  ssize_t ignored = write(report, &result, sizeof result);
  (void)ignored;
  if (result != 0) _exit(1);
  for (;;) pause();
}

}  // namespace

GuestProcess::GuestProcess(const std::string& path, const std::string& name, uid_t uid,
                           const std::string& pids) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  ScopedFd read_end(fds[0]), write_end(fds[1]);
  {
    const ChildrenIn space(pids);
    child_.reset(fork());
    if (child_.get() == 0) holdOpen(path, name, uid, write_end.get());
  }
  if (child_.get() < 0) throw std::system_error(errno, std::generic_category(), "fork");
  write_end.reset();
  int result = EIO;
  if (read(read_end.get(), &result, sizeof result) != sizeof result || result != 0)
    throw std::system_error(result, std::generic_category(), "guest process: open " + path);
  inner_pid_ = innermostPid(child_.get());
}

}  // namespace sim
