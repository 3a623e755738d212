// A file that replaces another as a whole: readers of the path see the old
// bytes or the new ones, never a part, and nothing is left behind when the
// new bytes cannot be put in place.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/util/scoped.h"

// How a replacement names its temporary file and how far it flushes.
struct ReplaceOptions {
  // The temporary file's name in the directory of the path, ending in six X's
  // that become letters or digits; nullptr: the path's own name, a dot and six.
  const char* temp_name = nullptr;
  // The directory is flushed after the rename too, so that the new file is
  // the one there after a power loss. When that fails, so does the commit,
  // the new file being in place.
  bool sync_directory = false;
};

// A temporary file beside `path` (same directory, named as `options` say),
// made with mode 0600. commit() puts it in place of `path`; it is removed
// when it goes out of scope uncommitted.
class FileReplacement {
 public:
  explicit FileReplacement(const std::string& path, const ReplaceOptions& options = {});
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;
  ~FileReplacement();  // errno as it was

  // The temporary file's descriptor; invalid when error() says why.
  int fd() const { return fd_.get(); }
  // Why the file could not be made or put in place (an errno text); "" when fine.
  std::string error() const;
  // The errno of that failure; 0 when fine.
  int errorNumber() const { return error_; }

  // Gives the file `mode` (the umask plays no part), flushes it to disk and
  // renames it over `path`. False with error() set when any of it fails.
  bool commit(mode_t mode);

 private:
  bool failed();  // error() from errno; false

  std::string path_;
  std::string temp_;  // the temporary file while it is not in place
  bool sync_directory_;
  ScopedFd fd_;
  int error_ = 0;
};

// Writes all of `size` bytes; false with errno set when a write fails.
bool writeAll(int fd, const char* bytes, size_t size);

// `path` replaced by a file of mode `mode` holding the `size` bytes at
// `bytes`. False with errno set when that fails; then `path` is as it was,
// unless only its directory could not be flushed.
bool replaceFileBytes(const std::string& path, const void* bytes, size_t size, mode_t mode,
                      const ReplaceOptions& options = {});

// `path` replaced by a file of mode `mode` holding `text`; "" when done, else
// why not (an errno text), with `path` as it was.
std::string replaceFile(const std::string& path, const std::string& text, mode_t mode);
