#include "common/util/paths.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/log/qzlogger.h"

namespace {

constexpr const char* kSelfExe = "/proc/self/exe";
// The executable's link target is read up to this many bytes; a longer path is cut.
constexpr size_t kExePathLimit = 200;

}  // namespace

bool is_dir_exist(const char* path) {
  struct stat info;
  // lstat: a symbolic link to a directory is not a directory. Any failure
  // leaves no file type to test, so it counts as "no directory".
  if (lstat(path, &info) != 0) return false;
  return S_ISDIR(info.st_mode);
}

bool is_file_exist(std::string path) { return access(path.c_str(), F_OK) == 0; }

std::string get_current_dir() {
  char target[kExePathLimit + 1] = {};
  ssize_t length = readlink(kSelfExe, target, kExePathLimit);
  if (length < 0) {
    qzlogger::logger(Record, "Failed to get exe path[%s].\n", target);
    return "";
  }
  std::vector<char> path(target, target + length);
  path.push_back('\0');
  return dirname(path.data());
}

RegularFile openRegularFile(const std::string& path) {
  RegularFile file;
  file.fd.reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file.fd.valid()) {
    file.error = errno;
    return file;
  }
  if (::fstat(file.fd.get(), &file.status) != 0) {
    file.error = errno;
    file.fd.reset();
  } else if (!S_ISREG(file.status.st_mode)) {
    file.fd.reset();
  }
  return file;
}

std::string openFailure(const RegularFile& file) { return openFailure(file.error); }

std::string openFailure(int error) { return error ? std::strerror(error) : "not a regular file"; }

std::string readFailure(int error) { return error == ENOENT ? "missing" : std::strerror(error); }

BoundedRead readBounded(int fd, size_t limit) {
  constexpr size_t kFirstRead = 4096;  // the buffer doubles from there as the file goes on
  BoundedRead read;
  size_t got = 0;
  while (got <= limit) {
    if (got == read.bytes.size())
      read.bytes.resize(std::min(limit + 1, std::max(kFirstRead, 2 * got)));
    const ssize_t n =
        ::pread(fd, &read.bytes[got], read.bytes.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) read.error = errno;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  read.longer = got > limit;
  read.bytes.resize(std::min(got, limit));
  return read;
}

bool ensureDirectory(const std::string& dir, mode_t mode) {
  if (::mkdir(dir.c_str(), mode) == 0) return ::chmod(dir.c_str(), mode) == 0;
  return errno == EEXIST;
}
