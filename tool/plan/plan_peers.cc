// -r's step: the peer configuration directory and each GPU's peer file.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "common/util/paths.h"
#include "common/util/scoped.h"
#include "tool/plan/planners.h"
#include "tool/role/evidence.h"

namespace {

namespace fs = std::filesystem;

// Whether the directory is there or the run makes it: it cannot when the
// nearest path above it that exists is no directory.
DirNow dirState(std::string& reason) {
  const fs::path dir = fs::path(kPeerConfigDir).parent_path();
  for (fs::path at = dir;; at = at.parent_path()) {
    std::error_code ec;
    const fs::file_status status = fs::status(at, ec);  // links followed, as the run does
    if (fs::is_directory(status)) return at == dir ? DirNow::kThere : DirNow::kMade;
    if (fs::exists(status) || (ec && status.type() != fs::file_type::not_found)) {
      reason = at.string() + (ec ? ": " + ec.message() : " is no directory");
      return DirNow::kCannot;
    }
    if (at == at.parent_path()) return DirNow::kMade;
  }
}

// Regular files of a temporary file's name: a link or anything else stays.
std::vector<std::string> leftovers() {
  std::vector<std::string> paths;
  std::error_code ec;
  for (fs::directory_iterator it(kPeerConfigDir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code unknown;  // a type that cannot be read is no regular file
    if (isTempName(it->path().filename()) && fs::is_regular_file(it->symlink_status(unknown)))
      paths.push_back(it->path().string());
  }
  return paths;
}

// The peer file at `path` against `words`: the same bytes in a regular file
// of the mode a store gives is unchanged. A directory cannot be replaced; a
// link or another file can.
PeerNow peerNow(const std::string& path, const std::vector<unsigned long>& words) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? PeerNow::kNew : PeerNow::kUnknown;
  if (S_ISDIR(st.st_mode)) return PeerNow::kNotAFile;
  if (!S_ISREG(st.st_mode) || (st.st_mode & 07777) != kPeerFileMode) return PeerNow::kDiffers;
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return PeerNow::kUnknown;
  const std::string bytes(reinterpret_cast<const char*>(words.data()),
                          words.size() * sizeof(unsigned long));
  const BoundedRead read = readBounded(fd.get(), bytes.size());
  if (read.error) return PeerNow::kUnknown;
  return !read.longer && read.bytes == bytes ? PeerNow::kUnchanged : PeerNow::kDiffers;
}

std::string windowReason(const PeerStep& step) {
  if (step.open_error)
    return "its window cannot be opened: " + std::string(strerror(step.open_error));
  switch (step.area.state) {
    case AreaState::kUnread:
      return "its window cannot be read: " + std::string(strerror(step.area.error));
    case AreaState::kNone:
      return "its window holds no exchange table (word count 0); its peer file is kept";
    case AreaState::kOffline:
      return "its window reads all ones (offline); its peer file is kept";
    case AreaState::kAbnormal:
      break;
    case AreaState::kTable:
      return "";
  }
  return "its window's word count " + std::to_string(step.area.count) + " is above " +
         std::to_string(kMaxAreaWords) + "; its peer file is kept";
}

// Reads the GPU's window read-only, holding what the reader says.
void readWindow(PeerStep& step) {
  HeldMessages held;
  ScopedFd fd(::open(step.window.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.valid())
    step.area = readArea(fd.get());
  else
    step.open_error = errno;
  step.messages = held.take();
}

StepState fileState(PeerNow file, bool as_root) {
  switch (file) {
    case PeerNow::kUnchanged:
      return {Outcome::kUnchanged, "", false};
    case PeerNow::kNotAFile:
      return leftAlone("a directory is in its place and cannot be replaced");
    case PeerNow::kUnknown:
      if (!as_root) return unknownWithoutRoot();
      break;
    case PeerNow::kNew:
    case PeerNow::kDiffers:
      break;
  }
  return {Outcome::kChange, "", false};
}

PeerStep planPeer(const fs::path& device, bool as_root) {
  PeerStep step;
  step.gpu = device.filename().string();
  step.window = device.string() + kWindowFile;
  step.path = kPeerConfigDir + step.gpu;
  readWindow(step);
  if (step.open_error == 0 && step.area.state == AreaState::kTable) {
    step.file = peerNow(step.path, step.area.words);
    step.state = fileState(step.file, as_root);
    return step;
  }
  const bool unreadable = step.open_error != 0 || step.area.state == AreaState::kUnread;
  step.state = unreadable && !as_root ? unknownWithoutRoot() : leftAlone(windowReason(step));
  return step;
}

}  // namespace

ReadPlan planPeerFiles(const std::set<fs::path>& devices, bool as_root) {
  ReadPlan plan;
  plan.role = findRole({devices.begin(), devices.end()});
  plan.dir = dirState(plan.dir_reason);
  if (plan.dir == DirNow::kThere) plan.leftovers = leftovers();
  for (const auto& device : devices) {
    plan.files.push_back(planPeer(device, as_root));
    if (plan.dir == DirNow::kCannot) plan.files.back().state = leftAlone(plan.dir_reason);
  }
  return plan;
}
