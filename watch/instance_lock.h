// One p2pwatch at a time. Two instances (a manual run beside the unit) would
// both program every driver, so that each received every line twice, and the
// record would be whichever pass ended last. The daemon holds an exclusive
// flock on kLockFile for its whole life, the file holding its PID; flock
// releases it when the holder exits however it ends, so a lock file left by a
// dead instance never blocks the next.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/util/scoped.h"

inline constexpr const char* kLockFile = "/run/p2pwatch/lock";

struct InstanceLock {
  ScopedFd fd;       // valid when taken: hold it until exit (close-on-exec)
  pid_t holder = 0;  // when another instance holds it: the PID in the file, 0 when unknown
  int error = 0;     // errno when it could not be tried (no directory, no file)
};

// Takes the lock on `path`, making its directory (0755) when missing, and
// writes this process's PID into it; without waiting for another holder.
InstanceLock lockInstance(const std::string& path = kLockFile);
