// A scratch directory for tests, removed with everything in it when its owner
// goes out of scope (only by the process that made it, never by a forked child).
#pragma once

#include <sys/types.h>

#include <string>

namespace sim {

class TempDir {
 public:
  // Makes a fresh directory $TMPDIR/<prefix>.XXXXXX (/tmp when TMPDIR is unset).
  // Throws std::system_error when it cannot be made.
  explicit TempDir(const std::string& prefix = "p2psim");
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  TempDir(TempDir&& other) noexcept;
  TempDir& operator=(TempDir&& other) noexcept;
  ~TempDir();

  const std::string& path() const { return path_; }
  // path() + "/" + name, nothing created.
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  // Creates the directory path()/name (and its parents) and returns its path.
  std::string subdir(const std::string& name) const;
  // Writes text to path()/name (parents created, file truncated); returns its path.
  std::string write(const std::string& name, const std::string& text) const;

 private:
  void remove();

  std::string path_;
  pid_t owner_ = -1;
};

// Everything in the file at path ("" when it cannot be read).
std::string readFile(const std::string& path);

}  // namespace sim
