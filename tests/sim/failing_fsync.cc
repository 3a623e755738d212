// Preloaded into a program under test to make flushing a file fail: fsync of
// a descriptor whose path (as /proc/self/fd shows it) matches the fnmatch
// pattern in P2P_FSYNC_FAILS fails with EIO. Other descriptors are flushed.
#include <dlfcn.h>
#include <errno.h>
#include <fnmatch.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

constexpr char kFailingPattern[] = "P2P_FSYNC_FAILS";

bool mustFail(int fd) {
  const char* pattern = getenv(kFailingPattern);
  char link[64], target[PATH_MAX] = {};
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  return pattern && readlink(link, target, sizeof target - 1) > 0 &&
         fnmatch(pattern, target, 0) == 0;
}

}  // namespace

extern "C" int fsync(int fd) {
  using FsyncFn = int (*)(int);
  static FsyncFn real_fsync = reinterpret_cast<FsyncFn>(dlsym(RTLD_NEXT, "fsync"));
  if (mustFail(fd)) {
    errno = EIO;
    return -1;
  }
  return real_fsync(fd);
}
