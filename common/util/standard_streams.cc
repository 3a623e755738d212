#include "common/util/standard_streams.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/log/console.h"

namespace {

constexpr const char* kNullDevice = "/dev/null";

void ignoreSignal(int) {}

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

// A caught signal, unlike an ignored one, is reset to its default action by
// exec: the commands started later still end on a broken pipe of their own.
void catchBrokenPipe() {
  struct sigaction action {};
  action.sa_handler = ignoreSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGPIPE, &action, nullptr);
}

}  // namespace

bool prepareStandardStreams() {
  catchBrokenPipe();
  // In ascending order every lower descriptor is open, so the lowest free
  // one, which open() returns, is `fd` itself: nothing else can take it.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (isOpen(fd)) continue;
    if (::open(kNullDevice, O_RDWR) != fd) {
      reportTo(stderr, Priority::kError,
               "Error: Cannot open %s in place of closed descriptor %d: %s\n", kNullDevice, fd,
               strerror(errno));
      return false;
    }
  }
  return true;
}
