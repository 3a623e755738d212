#include "tool/collect/snapshot.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/log/console.h"
#include "common/util/paths.h"

namespace {

constexpr mode_t kPermissionBits = 0777;
constexpr mode_t kParentMode = 0755;
constexpr const char* kNotCollected = "p2ptool --collect: not collected: %s: %s\n";

}  // namespace

void Snapshot::addParents(const std::string& path) {
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    Member& dir = members_[path.substr(0, slash)];
    if (dir.type == Member::Type::kDirectory) continue;
    dir = Member{};
    dir.type = Member::Type::kDirectory;
    dir.mode = kParentMode;
  }
}

void Snapshot::addDirectory(const std::string& path, mode_t mode) {
  addParents(path);
  Member dir;
  dir.type = Member::Type::kDirectory;
  dir.mode = mode & kPermissionBits;
  members_[path] = dir;
}

void Snapshot::addFile(const std::string& path, const std::string& bytes, mode_t mode,
                       const timespec& mtime) {
  addParents(path);
  Member file;
  file.mode = mode & kPermissionBits;
  file.mtime = mtime;
  file.size = bytes.size();
  if (!bytes.empty()) file.data[0] = bytes;
  members_[path] = file;
}

void Snapshot::addSparse(const std::string& path, uint64_t size,
                         std::map<uint64_t, std::string> data, mode_t mode) {
  addParents(path);
  Member file;
  file.mode = mode & kPermissionBits;
  file.size = size;
  file.data = std::move(data);
  members_[path] = file;
}

void Snapshot::addLink(const std::string& path, const std::string& target) {
  addParents(path);
  Member link;
  link.type = Member::Type::kSymlink;
  link.mode = kPermissionBits;
  link.target = target;
  members_[path] = link;
}

void Snapshot::notCollected(const std::string& what, const std::string& reason) {
  reportTo(stderr, Priority::kWarning, kNotCollected, what.c_str(), reason.c_str());
  notes_.push_back(what + ": " + reason);
}

std::string memberPath(const std::string& file) {
  const size_t first = file.find_first_not_of('/');
  if (first == std::string::npos) return "";
  return file.substr(first, file.find_last_not_of('/') + 1 - first);
}

FileRead readSmallFile(const std::string& path, size_t limit) {
  FileRead file;
  const RegularFile opened = openRegularFile(path);
  if (!opened.fd.valid()) {
    file.reason = openFailure(opened);
    return file;
  }
  BoundedRead read = readBounded(opened.fd.get(), limit);
  if (read.error != 0) {
    file.reason = strerror(read.error);
    return file;
  }
  file.read = true;
  file.bytes = std::move(read.bytes);
  file.cut = read.longer;
  file.status = opened.status;
  return file;
}

bool copyFile(Snapshot& snapshot, const std::string& path, bool keep_time) {
  const FileRead file = readSmallFile(path, kSmallFileLimit);
  if (!file.read) {
    snapshot.notCollected(path, file.reason);
    return false;
  }
  if (file.cut)
    snapshot.notCollected(path, "only its first " + std::to_string(kSmallFileLimit) + " bytes");
  snapshot.addFile(memberPath(path), file.bytes, file.status.st_mode,
                   keep_time ? file.status.st_mtim : timespec{});
  return true;
}
