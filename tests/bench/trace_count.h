// Counts the processes a traced program started, from the output of
//   strace -f -qq -e trace=execve,fork,vfork,clone,clone3 -e signal=none -o FILE PROGRAM...
// A process is a successful fork, vfork, clone or clone3 (threads excluded);
// a program start is a successful execve, counted by the file name it ran.
// The first successful execve, the traced program's own, is not counted.
#pragma once

#include <cstddef>
#include <istream>
#include <map>
#include <string>

namespace bench {

struct ProcessCounts {
  size_t processes = 0;
  std::map<std::string, size_t> programs;  // file name ("sh", "setpci", ...) -> starts

  size_t programStarts(const std::string& name) const;
};

ProcessCounts countProcesses(std::istream& trace);
// Throws std::runtime_error when the file cannot be read.
ProcessCounts countProcessesInFile(const std::string& path);

}  // namespace bench
