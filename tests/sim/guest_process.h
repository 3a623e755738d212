// A stand-in for a running guest: a child process that holds a file open (a
// VFIO group or device node, as QEMU does while its guest runs) under a name
// of its choice, until the object goes. It opens the node as a path only
// (O_PATH): the simulated nodes are character devices that no driver serves,
// and such a descriptor is found in /proc/PID/fd as any other.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/util/scoped.h"

namespace sim {

constexpr char kGuestProcessName[] = "qemu-system-x86";  // comm keeps 15 characters

class GuestProcess {
 public:
  // Starts the child, named `name` in /proc/PID/comm and running as user and
  // group `uid`, in the PID namespace `pids` (PidSpace::ns(); "": the
  // caller's), once it holds `path` open; throws std::system_error when it
  // cannot open it.
  explicit GuestProcess(const std::string& path, const std::string& name = kGuestProcessName,
                        uid_t uid = 0, const std::string& pids = "");
  GuestProcess(const GuestProcess&) = delete;
  GuestProcess& operator=(const GuestProcess&) = delete;

  // Its PID as the processes of its namespace see it.
  pid_t pid() const { return inner_pid_; }

 private:
  ScopedChild child_;  // killed by its PID in the caller's namespace and reaped at the end
  pid_t inner_pid_ = -1;
};

}  // namespace sim
