#include "tool/collect/collect.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/log/console.h"
#include "common/util/scoped.h"
#include "tool/collect/archive_writer.h"
#include "tool/collect/guest_files.h"
#include "tool/collect/meta.h"
#include "tool/collect/snapshot.h"
#include "tool/collect/sysfs.h"

namespace {

constexpr const char* kStdout = "-";
constexpr const char* kTempSuffix = ".XXXXXX";
constexpr mode_t kArchiveMode = 0666;  // less the umask
constexpr const char* kCannotWrite = "Error: cannot write the archive %s: %s\n";
constexpr const char* kTerminal =
    "a compressed archive is not written to a terminal; name a file or redirect standard output";

// Where the archive goes: standard output, or a temporary file beside the
// one named that replaces it once complete and is removed otherwise.
class Output {
 public:
  explicit Output(const std::string& path) : path_(path) {
    if (path == kStdout) {
      if (::isatty(STDOUT_FILENO)) error_ = kTerminal;
      if (error_.empty()) fd_.reset(::dup(STDOUT_FILENO));
    } else {
      std::vector<char> name(path.begin(), path.end());
      name.insert(name.end(), kTempSuffix, kTempSuffix + strlen(kTempSuffix) + 1);
      fd_.reset(::mkostemp(name.data(), O_CLOEXEC));
      if (fd_.valid()) temp_.assign(name.data());
    }
    if (error_.empty() && !fd_.valid()) error_ = strerror(errno);
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output() {
    if (!temp_.empty()) ::unlink(temp_.c_str());
  }

  int fd() const { return fd_.get(); }
  const std::string& error() const { return error_; }

  // The file in place with the usual mode; false with error() set when not.
  bool commit() {
    if (temp_.empty()) return true;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd_.get(), kArchiveMode & ~mask) != 0 || ::fsync(fd_.get()) != 0 ||
        ::rename(temp_.c_str(), path_.c_str()) != 0) {
      error_ = strerror(errno);
      return false;
    }
    temp_.clear();
    return true;
  }

 private:
  std::string path_;
  std::string temp_;  // the temporary file while it is not in place
  ScopedFd fd_;
  std::string error_;
};

Snapshot gather(const CollectOptions& options) {
  Snapshot snapshot;
  const std::vector<std::string> functions = gatherSysfs(snapshot);
  gatherGuestFiles(snapshot);
  gatherMeta(snapshot, functions, {options.hostname, options.version});
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
