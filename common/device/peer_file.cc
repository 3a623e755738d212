#include "common/device/peer_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

// The peer file `bytes` hold; nothing when they are malformed.
std::optional<PeerFile> parsePeerBytes(const std::string& bytes) {
  uint64_t word0 = 0;
  if (bytes.size() < sizeof word0) return std::nullopt;
  memcpy(&word0, bytes.data(), sizeof word0);
  const unsigned long count = areaWordCount(word0);
  if (count > kMaxAreaWords || bytes.size() < count * sizeof word0) return std::nullopt;
  PeerFile file{areaSelf(word0), std::vector<unsigned long>(count)};
  if (count == 0) return file;  // no words: nothing to copy, not even into null
  memcpy(file.words.data(), bytes.data(), count * sizeof word0);
  file.words[0] = file.self;
  return file;
}

// The peer file open as `fd`, read no further than the largest one; `error`
// gets the errno of a failed read, else 0.
std::optional<PeerFile> readPeer(int fd, int& error) {
  const BoundedRead read = readBounded(fd, kMaxPeerFileBytes);
  error = read.error;
  if (read.error || read.longer) return std::nullopt;
  return parsePeerBytes(read.bytes);
}

// Why a regular file that opened cannot be used.
std::string readProblem(int error) {
  return error ? std::string("cannot be read: ") + strerror(error) : "is malformed";
}

}  // namespace

std::optional<PeerFile> readPeerFd(int fd, const std::string& path) {
  int error = 0;
  auto file = readPeer(fd, error);
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
    load.file = readPeer(opened.fd.get(), load.error);
  }
  if (!load.file)
    load.problem = kSubject + load.path + " " +
                   (opened.fd.valid() ? readProblem(load.error) : openProblem(opened, dir));
  return load;
}
