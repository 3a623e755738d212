// systemd's side of sd_notify(3) for programs under test: an abstract
// datagram socket of this process. A program started with NOTIFY_SOCKET set
// to address() (reachable from any sandbox: sandboxes share the network
// namespace) sends it READY=1, STATUS=... as a notify service does.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "common/util/scoped.h"

namespace sim {

class NotifySocket {
 public:
  NotifySocket();  // throws std::system_error when it cannot be made
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;

  inline static constexpr const char* kVariable = "NOTIFY_SOCKET";
  // The value of NOTIFY_SOCKET: "@" and the abstract name.
  const std::string& address() const { return address_; }

  // The next message, waiting up to timeout_ms for it; nothing on a timeout.
  std::optional<std::string> next(int timeout_ms);
  // Finds a message that holds the line `line` (as "READY=1" or "STATUS=..."
  // among the lines of a message) and takes it: first among those read
  // before and not taken, then among new ones, for up to timeout_ms. False
  // when none came.
  bool awaitLine(const std::string& line, int timeout_ms);

 private:
  ScopedFd socket_;
  std::string address_;
  std::deque<std::string> untaken_;
};

}  // namespace sim
