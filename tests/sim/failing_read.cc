// Preloaded into a program under test to make reading its inotify queue fail:
// the first P2P_INOTIFY_READS_OK reads of an inotify descriptor succeed, every
// later one fails with EIO. Other descriptors are left alone.
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr char kAllowedReads[] = "P2P_INOTIFY_READS_OK";
constexpr char kInotifyLink[] = "anon_inode:inotify";

bool isInotify(int fd) {
  char link[64], target[64] = {};
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target - 1);
  return n > 0 && strcmp(target, kInotifyLink) == 0;
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
  using ReadFn = ssize_t (*)(int, void*, size_t);
  static ReadFn real_read = reinterpret_cast<ReadFn>(dlsym(RTLD_NEXT, "read"));
  static long reads_done = 0;
  if (isInotify(fd)) {
    const char* allowed = getenv(kAllowedReads);
    if (reads_done++ >= (allowed ? atol(allowed) : 0)) {
      errno = EIO;
      return -1;
    }
  }
  return real_read(fd, buffer, count);
}
