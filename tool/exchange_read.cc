// Guest side: store each GPU's exchange area as its peer configuration file.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "common/device/windows.h"
#include "common/log/console.h"
#include "common/util/scoped.h"
#include "tool/exchange.h"

namespace {

// Temporary files carry no ':' in their names, so p2pwatch never takes one
// for a peer configuration file.
constexpr const char* kTempPattern = ".peer-XXXXXX";
constexpr mode_t kPeerFileMode = 0644;
constexpr const char* kNoTable =
    "\033[31mError:\033[0m The window of card %s holds no exchange table (word count 0): run "
    "`p2ptool -w` on the host first; its peer file is left as it is\n";
constexpr const char* kWriteFailed = "\033[31mError:\033[0m failed to write configuration file!\n";

bool makePeerConfigDir() {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(kPeerConfigDir).parent_path(), ec);
  if (ec)
    report(Priority::kError, "\033[31mError:\033[0m Cannot create %s: %s\n", kPeerConfigDir,
           ec.message().c_str());
  return !ec;
}

bool writeAll(int fd, const unsigned char* bytes, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Replaces the peer configuration file `name` as a whole: a reader sees the
// old file or the new one, never part of one. On failure the old file stays.
bool storePeerFile(const std::string& name, const std::vector<unsigned long>& words) {
  std::string temp = std::string(kPeerConfigDir) + kTempPattern;
  ScopedFd fd(::mkstemp(temp.data()));
  if (!fd.valid()) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(words.data());
  bool ok = ::fchmod(fd.get(), kPeerFileMode) == 0 &&
            writeAll(fd.get(), bytes, words.size() * sizeof(unsigned long));
  ok = ::close(fd.take()) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), (kPeerConfigDir + name).c_str()) == 0;
  if (!ok) {
    const int error = errno;
    ::unlink(temp.c_str());
    errno = error;
  }
  return ok;
}

// Reads the area of one GPU; nothing when the window or its count is unusable.
std::optional<std::vector<unsigned long>> readArea(const std::filesystem::path& device,
                                                   const std::string& name) {
  ScopedFd fd(openWindow(device));
  if (!fd.valid()) return std::nullopt;
  return readExchangeArea(fd.get(), name);
}

}  // namespace

std::optional<std::vector<unsigned long>> readExchangeArea(int fd, const std::string& name) {
  unsigned long word0 = 0;
  if (!readMemoryChecked(sizeof word0, &word0, fd, kExchangeOffset)) {
    reportGpuFailure(name, errno);
    return std::nullopt;
  }
  const unsigned count = areaWordCount(word0);
  if (count == 0) {
    report(Priority::kError, kNoTable, name.c_str());
    return std::nullopt;
  }
  if (count == kOfflineCount) {
    report(Priority::kWarning, "\033[31mOffline:\033[0m Failed to open card %s\n", name.c_str());
    return std::nullopt;
  }
  if (count > kMaxAreaWords) {
    report(Priority::kError,
           "\033[31mError:\033[0m The resource0 of card %s is abnormal and skiping this card ...\n",
           name.c_str());
    return std::nullopt;
  }
  std::vector<unsigned long> words(count);
  if (!readMemoryChecked(count * sizeof(unsigned long), words.data(), fd, kExchangeOffset)) {
    reportGpuFailure(name, errno);
    return std::nullopt;
  }
  return words;
}

void VM_SaveMemoryDataToFile(const GroupMap& /*real_host_map*/,
                             const std::set<std::filesystem::path>& gpu_bus_path_set) {
  if (!makePeerConfigDir()) return;
  for (const auto& device : gpu_bus_path_set) {
    const std::string name = device.filename().string();
    const auto words = readArea(device, name);
    if (words && !storePeerFile(name, *words)) {
      const int error = errno;
      report(Priority::kError, "%s", kWriteFailed);
      reportGpuFailure(name, error);
    }
  }
}
