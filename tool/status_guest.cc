#include "tool/status_guest.h"

#include <fcntl.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "common/device/enumeration.h"
#include "common/device/exchange_area.h"
#include "common/device/tamberon_driver.h"
#include "common/device/windows.h"
#include "common/util/scoped.h"

namespace {

constexpr const char* kMemoryFile = "/resource0";
constexpr const char* kDriverLink = "/driver";
constexpr const char* kMinorFile = "/minor";
constexpr unsigned kNoAnswerCount = 0xFFFFFFFF;

ScopedFd openReadOnly(const std::string& path) {
  return ScopedFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

// Word count of the exchange table in the window; 0 when there is none: no
// answer, or a count no group gives (a table has one word and a pair per GPU).
unsigned exchangeTableWords(const std::string& bdf) {
  ScopedFd fd = openReadOnly(kSysPciDevices + bdf + kMemoryFile);
  unsigned long word0 = 0;
  if (!fd.valid() || !readMemoryReadOnly(sizeof word0, &word0, fd.get(), kExchangeOffset)) return 0;
  const unsigned count = areaWordCount(word0);
  const bool plausible = count != kNoAnswerCount && count >= 3 && count <= kMaxAreaWords;
  return plausible && count % 2 == 1 ? count : 0;
}

void readPeer(const std::string& bdf, GuestGpu& gpu) {
  const std::string path = kPeerConfigDir + bdf;
  ScopedFd fd = openReadOnly(path);
  gpu.peer_file_exists = fd.valid() || errno != ENOENT;
  if (fd.valid()) gpu.peer = readPeerFd(fd.get(), path);
}

void readDriver(const std::string& bdf, GuestGpu& gpu) {
  std::error_code ec;
  const auto link = std::filesystem::read_symlink(kSysPciDevices + bdf + kDriverLink, ec);
  if (ec) return;
  gpu.driver = link.filename().string();
  if (gpu.driver != kDriverName) return;
  std::ifstream in(std::string(kDriverDir) + "/" + bdf + kMinorFile);
  std::string minor;
  if (in >> minor) gpu.minor = minor;
}

}  // namespace

GuestGpu guestGpu(const std::string& bdf) {
  GuestGpu gpu;
  gpu.bdf = bdf;
  gpu.table_words = exchangeTableWords(bdf);
  readPeer(bdf, gpu);
  readDriver(bdf, gpu);
  return gpu;
}
