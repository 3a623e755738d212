#include "tool/status_guest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/device/enumeration.h"
#include "common/device/exchange_area.h"
#include "common/device/tamberon_driver.h"
#include "common/util/scoped.h"
#include "tool/status_table.h"

namespace {

constexpr const char* kDriverLink = "/driver";
constexpr const char* kMinorFile = "/minor";
constexpr size_t kMinorReadLimit = 64;  // a minor file holds a short number

ScopedFd openReadOnly(const std::string& path) {
  return ScopedFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

void readWindow(const std::string& bdf, GuestGpu& gpu) {
  const WindowTable table = readWindowTable(bdf);
  gpu.table_words = table.count();
  gpu.window_reason = table.reason;
  switch (table.shape) {
    case TableShape::kWellFormed:
      gpu.window = WindowState::kTable;
      break;
    case TableShape::kNone:
      gpu.window = WindowState::kNone;
      break;
    case TableShape::kMalformed:
      gpu.window = WindowState::kMalformed;
      break;
    case TableShape::kUnreadable:
      gpu.window = WindowState::kUnreadable;
      break;
  }
}

void readPeer(const std::string& bdf, GuestGpu& gpu) {
  const std::string path = kPeerConfigDir + bdf;
  ScopedFd fd = openReadOnly(path);
  if (!fd.valid()) {
    gpu.peer_state = errno == ENOENT ? PeerState::kNone : PeerState::kUnreadable;
    gpu.peer_reason = readFailure(errno);
    return;
  }
  gpu.peer = readPeerFd(fd.get(), path);
  gpu.peer_state = gpu.peer ? PeerState::kWellFormed : PeerState::kMalformed;
}

// The first word of the minor file; nothing with the reason when it cannot be read.
void readMinor(const std::string& bdf, GuestGpu& gpu) {
  ScopedFd fd = openReadOnly(std::string(kDriverDir) + "/" + bdf + kMinorFile);
  char text[kMinorReadLimit];
  const ssize_t n = fd.valid() ? ::read(fd.get(), text, sizeof text) : -1;
  if (n < 0) {
    if (errno != ENOENT) gpu.minor_reason = readFailure(errno);
    return;
  }
  const std::string content(text, static_cast<size_t>(n));
  const size_t start = content.find_first_not_of(" \t\n");
  if (start == std::string::npos) return;
  gpu.minor = content.substr(start, content.find_first_of(" \t\n", start) - start);
}

void readDriver(const std::string& bdf, GuestGpu& gpu) {
  std::error_code ec;
  const auto link = std::filesystem::read_symlink(kSysPciDevices + bdf + kDriverLink, ec);
  if (ec) return;
  gpu.driver = link.filename().string();
  if (gpu.driver == kDriverName) readMinor(bdf, gpu);
}

}  // namespace

GuestGpu guestGpu(const std::string& bdf) {
  GuestGpu gpu;
  gpu.bdf = bdf;
  readWindow(bdf, gpu);
  readPeer(bdf, gpu);
  readDriver(bdf, gpu);
  return gpu;
}
