// Guest side: store each GPU's exchange area as its peer configuration file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "common/device/windows.h"
#include "common/log/console.h"
#include "common/util/scoped.h"
#include "tool/exchange.h"
#include "tool/undone.h"

namespace {

namespace fs = std::filesystem;

// Temporary files carry no ':' in their names, so p2pwatch never takes one
// for a peer configuration file.
constexpr const char* kTempPattern = ".peer-XXXXXX";
constexpr size_t kTempRandomLength = 6;  // the X's mkstemp replaces by letters and digits
constexpr const char* kLeftoverKept =
    "\033[31mWARNING:\033[0m Cannot remove %s, left by an interrupted run: %s\n";
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

// A name mkstemp made of kTempPattern.
bool isTempName(const std::string& name) {
  const size_t prefix = strlen(kTempPattern) - kTempRandomLength;
  return name.size() == strlen(kTempPattern) &&
         name.compare(0, prefix, kTempPattern, prefix) == 0 &&
         std::all_of(name.begin() + prefix, name.end(),
                     [](unsigned char c) { return std::isalnum(c) != 0; });
}

// Removes the temporary files a run that was interrupted left behind: regular
// files named as kTempPattern makes them only. A symbolic link or anything else
// of such a name stays, and no link is followed (unlink removes a link itself).
void removeLeftovers() {
  std::error_code ec;
  for (fs::directory_iterator it(kPeerConfigDir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code unknown;  // a type that cannot be read is no regular file
    if (!isTempName(it->path().filename()) || !fs::is_regular_file(it->symlink_status(unknown)))
      continue;
    const std::string path = it->path().string();
    if (::unlink(path.c_str()) != 0)
      report(Priority::kWarning, kLeftoverKept, path.c_str(), strerror(errno));
  }
}

bool syncDirectory(const char* dir) {
  ScopedFd fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.valid() && ::fsync(fd.get()) == 0;
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
// old file or the new one, never part of one, and so does the next boot after
// a power loss: the file is on disk before it is renamed, and the rename
// before success is returned. On failure the old file stays, unless only the
// directory could not be flushed.
bool storePeerFile(const std::string& name, const std::vector<unsigned long>& words) {
  std::string temp = std::string(kPeerConfigDir) + kTempPattern;
  ScopedFd fd(::mkstemp(temp.data()));
  if (!fd.valid()) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(words.data());
  bool ok = ::fchmod(fd.get(), kPeerFileMode) == 0 &&
            writeAll(fd.get(), bytes, words.size() * sizeof(unsigned long)) &&
            ::fsync(fd.get()) == 0;
  ok = ::close(fd.take()) == 0 && ok;
  ok = ok && ::rename(temp.c_str(), (kPeerConfigDir + name).c_str()) == 0;
  if (!ok) {
    const int error = errno;
    ::unlink(temp.c_str());
    errno = error;
    return false;
  }
  return syncDirectory(kPeerConfigDir);
}

// Reads the area of one GPU; nothing when the window or its count is unusable.
std::optional<std::vector<unsigned long>> readArea(const std::filesystem::path& device,
                                                   const std::string& name) {
  ScopedFd fd(openWindow(device));
  if (!fd.valid()) return std::nullopt;
  return readExchangeArea(fd.get(), name);
}

// Stores the area of one GPU; false, after a message, when there is none to
// store or it cannot be stored.
bool storeArea(const std::filesystem::path& device) {
  const std::string name = device.filename().string();
  const auto words = readArea(device, name);
  if (!words) return false;
  if (storePeerFile(name, *words)) return true;
  const int error = errno;
  report(Priority::kError, "%s", kWriteFailed);
  reportGpuFailure(name, error);
  return false;
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
  if (!makePeerConfigDir()) {
    if (!gpu_bus_path_set.empty()) leaveUndone();
    return;
  }
  removeLeftovers();
  for (const auto& device : gpu_bus_path_set)
    if (!storeArea(device)) leaveUndone();
}
