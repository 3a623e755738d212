#include "watch/peer_dir_watch.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

// The directory itself: files stored in it, and its own disappearance.
constexpr unsigned kDirMask =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
// An ancestor: the next component's creation, and its own disappearance.
constexpr unsigned kAncestorMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr unsigned kGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;
// Directories that keep coming and going cannot hold the watch in arm() for longer.
constexpr int kMaxMoves = 16;

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The deepest existing directory on the way from / to `dir`.
std::string deepestExisting(const std::string& dir) {
  fs::path path = dir;
  while (path.has_relative_path() && !isDirectory(path.string())) path = path.parent_path();
  return path.string();
}

// True when `path` is `dir` or one of its ancestors.
bool leadsTo(const std::string& path, const std::string& dir) {
  return dir == path || dir.rfind(path + "/", 0) == 0;
}

}  // namespace

PeerDirWatch::PeerDirWatch(int inotify, std::string dir)
    : inotify_(inotify), dir_(fs::path(std::move(dir)).lexically_normal().string()) {
  if (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
}

bool PeerDirWatch::arm() {
  if (wd_ >= 0) inotify_rm_watch(inotify_, wd_);
  wd_ = -1;
  watched_.clear();
  // A component may appear between looking and watching: look again after.
  for (int moves = 0; moves < kMaxMoves; ++moves) {
    const std::string target = deepestExisting(dir_);
    if (target == watched_) break;
    const unsigned mask = target == dir_ ? kDirMask : kAncestorMask;
    const int wd = inotify_add_watch(inotify_, target.c_str(), mask);
    if (wd < 0) break;
    if (wd_ >= 0 && wd_ != wd) inotify_rm_watch(inotify_, wd_);
    wd_ = wd;
    watched_ = target;
  }
  return watched_ == dir_;
}

bool PeerDirWatch::onEvent(const inotify_event& event) {
  if (event.wd != wd_ || wd_ < 0) return false;
  if (event.mask & kGone) return arm();
  const std::string name = event.len ? event.name : "";
  if (watched_ == dir_)
    return (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) && name.find(':') != std::string::npos;
  const std::string next = (watched_ == "/" ? "" : watched_) + "/" + name;
  return (event.mask & (IN_CREATE | IN_MOVED_TO)) && leadsTo(next, dir_) && arm();
}
