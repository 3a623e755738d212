// A file that replaces another as a whole: readers of the path see the old
// bytes or the new ones, never a part, and nothing is left behind when the
// new bytes cannot be put in place.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/util/scoped.h"

// A temporary file beside `path` (same directory, the name `path` and a
// dot with six letters or digits), made with mode 0600. commit() puts it in
// place of `path`; it is removed when it goes out of scope uncommitted.
class FileReplacement {
 public:
  explicit FileReplacement(const std::string& path);
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;
  ~FileReplacement();

  // The temporary file's descriptor; invalid when error() says why.
  int fd() const { return fd_.get(); }
  // Why the file could not be made or put in place (an errno text); "" when fine.
  const std::string& error() const { return error_; }

  // Gives the file `mode` (the umask plays no part), flushes it to disk and
  // renames it over `path`. False with error() set when any of it fails.
  bool commit(mode_t mode);

 private:
  std::string path_;
  std::string temp_;  // the temporary file while it is not in place
  ScopedFd fd_;
  std::string error_;
};

// Writes all of `size` bytes; false with errno set when a write fails.
bool writeAll(int fd, const char* bytes, size_t size);

// `path` replaced by a file of mode `mode` holding `text`; "" when done, else
// why not (an errno text), with `path` as it was.
std::string replaceFile(const std::string& path, const std::string& text, mode_t mode);
