#include "tool/collect/collect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "common/log/console.h"
#include "common/util/replace_file.h"
#include "common/util/scoped.h"
#include "tool/collect/archive_writer.h"
#include "tool/collect/guest_files.h"
#include "tool/collect/meta.h"
#include "tool/collect/snapshot.h"
#include "tool/collect/sysfs.h"

namespace {

constexpr const char* kStdout = "-";
constexpr mode_t kArchiveMode = 0666;  // less the umask
constexpr const char* kCannotWrite = "Error: cannot write the archive %s: %s\n";
constexpr const char* kTerminal =
    "a compressed archive is not written to a terminal; name a file or redirect standard output";

// Where the archive goes: standard output, or a temporary file beside the
// one named that replaces it once complete and is removed otherwise.
class Output {
 public:
  explicit Output(const std::string& path) {
    if (path != kStdout) {
      file_.emplace(path);
      error_ = file_->error();
      return;
    }
    if (::isatty(STDOUT_FILENO)) error_ = kTerminal;
    if (error_.empty()) fd_.reset(::dup(STDOUT_FILENO));
    if (error_.empty() && !fd_.valid()) error_ = strerror(errno);
  }

  int fd() const { return file_ ? file_->fd() : fd_.get(); }
  const std::string& error() const { return error_; }

  // The file in place with the usual mode; false with error() set when not.
  bool commit() {
    if (!file_) return true;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (file_->commit(kArchiveMode & ~mask)) return true;
    error_ = file_->error();
    return false;
  }

 private:
  std::optional<FileReplacement> file_;  // when the archive goes to a file
  ScopedFd fd_;                          // standard output's duplicate otherwise
  std::string error_;
};

Snapshot gather(const CollectOptions& options) {
  Snapshot snapshot;
  const std::vector<std::string> functions = gatherSysfs(snapshot);
  gatherGuestFiles(snapshot);
  gatherMeta(snapshot, functions, options.hostname);
  addNotCollected(snapshot);
  return snapshot;
}

int cannotWrite(const std::string& path, const std::string& reason) {
  reportTo(stderr, Priority::kError, kCannotWrite, path.c_str(), reason.c_str());
  return 1;
}

}  // namespace

int runCollect(const CollectOptions& options) {
  Output output(options.output);
  if (!output.error().empty()) return cannotWrite(options.output, output.error());
  std::string failure;
  {
    StdoutToStderr messages;  // standard output carries the archive alone
    failure = writeArchive(gather(options), output.fd());
  }
  if (!failure.empty()) return cannotWrite(options.output, failure);
  if (!output.commit()) return cannotWrite(options.output, output.error());
  return 0;
}
