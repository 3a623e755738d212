// What p2ptool --collect puts into its archive: the members by path (a tree
// below sys/, etc/, run/ and meta/), and what could not be read.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct Member {
  enum class Type { kDirectory, kFile, kSymlink };
  Type type = Type::kFile;
  mode_t mode = 0644;
  timespec mtime{};                      // 0: the fixed time every other member has
  uint64_t size = 0;                     // kFile: its size, holes included
  std::map<uint64_t, std::string> data;  // kFile: offset -> bytes; the rest are holes
  std::string target;                    // kSymlink: the link's text
};

class Snapshot {
 public:
  // Each adds its member's parent directories too (mode 0755). A member added
  // twice keeps the later one.
  void addDirectory(const std::string& path, mode_t mode = 0755);
  void addFile(const std::string& path, const std::string& bytes, mode_t mode,
               const timespec& mtime = {});
  // A file of `size` bytes holding only `data`: holes elsewhere.
  void addSparse(const std::string& path, uint64_t size, std::map<uint64_t, std::string> data,
                 mode_t mode);
  void addLink(const std::string& path, const std::string& target);
  // Something that could not be read, and why: kept for meta/ and said at
  // once on standard error.
  void notCollected(const std::string& what, const std::string& reason);

  const std::map<std::string, Member>& members() const { return members_; }
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  void addParents(const std::string& path);

  std::map<std::string, Member> members_;
  std::vector<std::string> notes_;
};

// The member path of an absolute file path: "/sys/devices/x/" -> "sys/devices/x".
std::string memberPath(const std::string& file);

// A regular file's content, read without blocking and at most `limit` bytes.
struct FileRead {
  bool read = false;      // it opened as a regular file and was read
  std::string bytes;      // what it holds
  std::string reason;     // why it was not read
  bool cut = false;       // it holds more than `limit`: only that much was kept
  struct stat status {};  // its status, when read
};
FileRead readSmallFile(const std::string& path, size_t limit);

// Copies the regular file `path` into the snapshot at its member path, with
// its mode; `keep_time` keeps its modification time. Notes what cannot be
// read. True when copied.
bool copyFile(Snapshot& snapshot, const std::string& path, bool keep_time = false);

// The most copyFile keeps of a file.
inline constexpr size_t kSmallFileLimit = size_t{1} << 20;
