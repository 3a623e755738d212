// A PID namespace of its own for the processes of a test: those started in
// it (GuestProcess, a Sandbox with `pids`) see in a /proc of their own only
// one another. The machine's processes stay out of sight, some of which no
// caller may read (a process that a security module confines, as the init of
// some machines is), so that what a walk through /proc finds is the test's.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/util/scoped.h"

namespace sim {

class PidSpace {
 public:
  // Starts the namespace's init, which only reaps; throws std::system_error.
  PidSpace();
  PidSpace(const PidSpace&) = delete;
  PidSpace& operator=(const PidSpace&) = delete;

  // /proc/<init>/ns/pid: what ChildrenIn and Sandbox::pids take.
  const std::string& ns() const { return ns_; }

 private:
  ScopedChild init_;  // killed at the end, which ends every process in the namespace
  std::string ns_;
};

// While alive, the children the calling thread forks start in the PID
// namespace `ns` (a /proc/PID/ns/pid path; "" leaves them in the caller's).
// Throws std::system_error when the namespace cannot be joined.
class ChildrenIn {
 public:
  explicit ChildrenIn(const std::string& ns);
  ChildrenIn(const ChildrenIn&) = delete;
  ChildrenIn& operator=(const ChildrenIn&) = delete;
  ~ChildrenIn();  // the caller's own namespace again

 private:
  ScopedFd own_;
};

// The PID that process `pid` (as the caller sees it) has in its own, the
// innermost, namespace: the last field of NSpid in /proc/PID/status.
pid_t innermostPid(pid_t pid);

}  // namespace sim
