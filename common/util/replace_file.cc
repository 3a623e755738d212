#include "common/util/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kTempSuffix = ".XXXXXX";

}  // namespace

FileReplacement::FileReplacement(const std::string& path) : path_(path) {
  std::string name = path + kTempSuffix;
  fd_.reset(::mkostemp(name.data(), O_CLOEXEC));
  if (fd_.valid())
    temp_ = name;
  else
    error_ = strerror(errno);
}

FileReplacement::~FileReplacement() {
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

bool FileReplacement::commit(mode_t mode) {
  if (temp_.empty()) return false;
  bool ok = ::fchmod(fd_.get(), mode) == 0 && ::fsync(fd_.get()) == 0;
  ok = ::close(fd_.take()) == 0 && ok;
  if (!ok || ::rename(temp_.c_str(), path_.c_str()) != 0) {
    error_ = strerror(errno);
    return false;
  }
  temp_.clear();
  return true;
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

std::string replaceFile(const std::string& path, const std::string& text, mode_t mode) {
  FileReplacement file(path);
  if (!file.error().empty()) return file.error();
  if (!writeAll(file.fd(), text.data(), text.size())) return strerror(errno);
  return file.commit(mode) ? "" : file.error();
}
