#include "watch/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "common/util/convert.h"
#include "common/util/paths.h"

namespace {

constexpr mode_t kDirMode = 0755;
constexpr mode_t kFileMode = 0644;
// Room for any PID and its line end.
constexpr size_t kMaxPidText = 16;
constexpr size_t kMaxPidDigits = 10;

// The PID the holder wrote, 0 when there is none yet or it is no number.
pid_t holderPid(int fd) {
  std::string text = readBounded(fd, kMaxPidText).bytes;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!allDigits(text, kMaxPidDigits)) return 0;
  const long long pid = std::stoll(text);
  return pid > 0 && pid == static_cast<pid_t>(pid) ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

InstanceLock lockInstance(const std::string& path) {
  InstanceLock lock;
  if (!ensureDirectory(std::filesystem::path(path).parent_path().string(), kDirMode)) {
    lock.error = errno;
    return lock;
  }
  ScopedFd fd(
      ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, kFileMode));
  if (!fd.valid()) {
    lock.error = errno;
    return lock;
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK)
      lock.holder = holderPid(fd.get());
    else
      lock.error = errno;
    return lock;
  }
  // Only the holder writes; a failed write leaves the PID unknown, the lock held.
  const std::string pid = std::to_string(::getpid()) + "\n";
  [[maybe_unused]] const bool written =
      ::ftruncate(fd.get(), 0) == 0 &&
      ::pwrite(fd.get(), pid.data(), pid.size(), 0) == static_cast<ssize_t>(pid.size());
  lock.fd = std::move(fd);
  return lock;
}
