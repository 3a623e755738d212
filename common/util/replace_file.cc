#include "common/util/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kTempSuffix = ".XXXXXX";

// The directory part of `path` with its final slash; "" for a bare name.
std::string directoryOf(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

bool syncDirectory(const std::string& dir) {
  ScopedFd fd(::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.valid() && ::fsync(fd.get()) == 0;
}

}  // namespace

FileReplacement::FileReplacement(const std::string& path, const ReplaceOptions& options)
    : path_(path), sync_directory_(options.sync_directory) {
  std::string name = options.temp_name ? directoryOf(path) + options.temp_name : path + kTempSuffix;
  fd_.reset(::mkostemp(name.data(), O_CLOEXEC));
  if (fd_.valid())
    temp_ = name;
  else
    failed();
}

FileReplacement::~FileReplacement() {
  const int saved = errno;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  errno = saved;
}

std::string FileReplacement::error() const { return error_ ? strerror(error_) : ""; }

bool FileReplacement::failed() {
  error_ = errno;
  return false;
}

bool FileReplacement::commit(mode_t mode) {
  if (temp_.empty()) return false;
  bool ok = ::fchmod(fd_.get(), mode) == 0 && ::fsync(fd_.get()) == 0;
  ok = ::close(fd_.take()) == 0 && ok;
  if (!ok || ::rename(temp_.c_str(), path_.c_str()) != 0) return failed();
  temp_.clear();
  return !sync_directory_ || syncDirectory(directoryOf(path_)) || failed();
}

bool writeAll(int fd, const char* bytes, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) errno = EIO;  // no progress and no reason: not written all the same
    if (n <= 0) return false;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool replaceFileBytes(const std::string& path, const void* bytes, size_t size, mode_t mode,
                      const ReplaceOptions& options) {
  FileReplacement file(path, options);
  if (file.fd() >= 0 && writeAll(file.fd(), static_cast<const char*>(bytes), size) &&
      file.commit(mode))
    return true;
  if (file.errorNumber() != 0) errno = file.errorNumber();  // else writeAll's
  return false;
}

std::string replaceFile(const std::string& path, const std::string& text, mode_t mode) {
  return replaceFileBytes(path, text.data(), text.size(), mode) ? "" : strerror(errno);
}
