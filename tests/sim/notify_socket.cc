#include "tests/sim/notify_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <sstream>
#include <system_error>

namespace sim {
namespace {

constexpr size_t kMaxMessage = 4096;

int msLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool hasLine(const std::string& message, const std::string& line) {
  std::istringstream lines(message);
  for (std::string each; std::getline(lines, each);)
    if (each == line) return true;
  return false;
}

}  // namespace

NotifySocket::NotifySocket() : socket_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
  static int made = 0;
  const std::string name =
      "p2psim-notify-" + std::to_string(getpid()) + "-" + std::to_string(++made);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] 0: abstract
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (!socket_.valid() ||
      ::bind(socket_.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0)
    throw std::system_error(errno, std::generic_category(), "notify socket " + name);
  address_ = "@" + name;
}

std::optional<std::string> NotifySocket::next(int timeout_ms) {
  pollfd fd = {socket_.get(), POLLIN, 0};
  if (::poll(&fd, 1, timeout_ms) <= 0) return std::nullopt;
  char message[kMaxMessage];
  const ssize_t got = ::recv(socket_.get(), message, sizeof message, MSG_DONTWAIT);
  if (got < 0) return std::nullopt;
  return std::string(message, static_cast<size_t>(got));
}

bool NotifySocket::awaitLine(const std::string& line, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (auto it = untaken_.begin(); it != untaken_.end(); ++it) {
    if (!hasLine(*it, line)) continue;
    untaken_.erase(it);
    return true;
  }
  while (auto message = next(msLeft(deadline))) {
    if (hasLine(*message, line)) return true;
    untaken_.push_back(std::move(*message));
  }
  return false;
}

}  // namespace sim
