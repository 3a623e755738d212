// Path tests and the running executable's directory.
#pragma once

#include <sys/stat.h>

#include <string>

#include "common/util/scoped.h"

// True when `path` itself (not a link's target) is a directory; false when it
// cannot be examined.
bool is_dir_exist(const char* path);

// True when `path` exists, following symbolic links.
bool is_file_exist(std::string path);

// Directory of the running executable (no trailing slash), or empty.
std::string get_current_dir();

// A file opened for reading its content.
struct RegularFile {
  ScopedFd fd;            // valid when the path named a regular file that could be opened
  int error = 0;          // errno of the failed open; 0 when it opened but is no regular file
  struct stat status {};  // the file's status, when fd is valid
};

// Opens `path` (links followed) read-only without blocking, so that a FIFO or
// a device in its place never stalls the caller, and keeps it only when it is
// a regular file.
RegularFile openRegularFile(const std::string& path);

// Why openRegularFile gave no descriptor: the errno text, or "not a regular file".
std::string openFailure(const RegularFile& file);
// The same from the `error` it gave (0: no regular file).
std::string openFailure(int error);
// Why a file could not be read: "missing" when it does not exist, else the
// errno text.
std::string readFailure(int error);

// What readBounded read of a file.
struct BoundedRead {
  std::string bytes;    // the content, at most the limit asked for
  bool longer = false;  // the file holds more than the limit: `bytes` is cut there
  int error = 0;        // errno of a failed read; then `bytes` is what came before it
};

// Reads the file open as `fd` from its start with pread(), at most `limit`
// bytes and one more to tell a longer file, however long the file is; the
// buffer grows with what is read, not to the limit at once. A file
// rewritten meanwhile gives what the reads returned; it never faults, as a
// mapping of a file cut short does.
BoundedRead readBounded(int fd, size_t limit);

// Makes the directory `dir` with `mode` whatever the umask, when it is
// missing. False, with errno set, when it is missing and cannot be made.
bool ensureDirectory(const std::string& dir, mode_t mode);
