#include "common/device/peer_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "common/device/windows.h"
#include "common/log/console.h"
#include "common/util/paths.h"

namespace {

constexpr const char* kSubject = "peer configuration file ";

// Why opening `path`, a file in `dir`, failed.
std::string openProblem(const RegularFile& opened, const std::string& dir) {
  if (opened.error != ENOENT)
    return opened.error ? "cannot be opened: " + openFailure(opened) : "is " + openFailure(opened);
  struct stat st {};
  return ::stat(dir.c_str(), &st) == 0 ? "is missing" : "is missing, and so is " + dir;
}

}  // namespace

std::optional<PeerFile> parsePeerFd(int fd) {
  struct stat st {};
  unsigned long word0 = 0;
  const bool sized = ::fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof word0);
  if (!sized || !readMemoryReadOnly(sizeof word0, &word0, fd, 0)) return std::nullopt;
  const unsigned long count = areaWordCount(word0);
  // The count is checked before anything is sized by it: a malformed file
  // may announce billions of words.
  if (count > kMaxAreaWords || st.st_size < static_cast<off_t>(count * sizeof word0))
    return std::nullopt;
  PeerFile file{areaSelf(word0), std::vector<unsigned long>(count)};
  if (!readMemoryReadOnly(count * sizeof word0, file.words.data(), fd, 0)) return std::nullopt;
  if (count > 0) file.words[0] = file.self;
  return file;
}

std::optional<PeerFile> readPeerFd(int fd, const std::string& path) {
  auto file = parsePeerFd(fd);
  if (!file)
    report(Priority::kError, "Error: Peer configuration file %s is malformed, skipping it\n",
           path.c_str());
  return file;
}

PeerFileLoad loadPeerFile(const std::string& bdf, const std::string& dir) {
  PeerFileLoad load;
  load.path = dir + bdf;
  const RegularFile opened = openRegularFile(load.path);
  load.found = opened.fd.valid() || opened.error != ENOENT;
  load.regular = opened.fd.valid();
  load.error = opened.error;
  if (load.regular) {
    load.modified = opened.status.st_mtim;
    load.file = parsePeerFd(opened.fd.get());
  }
  if (!load.file)
    load.problem = kSubject + load.path + " " +
                   (opened.fd.valid() ? "is malformed" : openProblem(opened, dir));
  return load;
}
