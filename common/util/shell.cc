#include "common/util/shell.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/log/console.h"
#include "common/util/paths.h"
#include "common/util/scoped.h"

namespace {

// Output is read in pieces of at most 255 characters: one line, or one part of a longer line.
constexpr int kPieceSize = 256;
// executePcieCommand formats its command line and captures its output in arrays of this size.
constexpr int kPcieCommandSize = 100;
constexpr const char* kPathVariable = "PATH";
constexpr const char* kPathSeparators = ":";
// putenv keeps this very array as the environment entry, so it must live for the whole process.
char kTerminalEntry[] = "TERM=screen";

}  // namespace

char* cmdResult(const char* command, char* buf, int len) {
  ScopedPipe pipe(command, "r");
  if (!pipe) return nullptr;
  if (len <= 0) return buf;  // no room even for the terminating NUL
  buf[0] = '\0';
  char piece[kPieceSize];
  size_t stored = 0;
  while (fgets(piece, sizeof piece, pipe.get())) {
    size_t piece_len = strlen(piece);
    if (stored + piece_len >= static_cast<size_t>(len)) {
      buf[stored] = '\0';  // the piece that does not fit and all after it are dropped
      break;
    }
    memcpy(buf + stored, piece, piece_len + 1);
    stored += piece_len;
  }
  return buf;
}

std::string cmdResult(const std::string& command, std::string& out) {
  ScopedPipe pipe(command.c_str(), "r");
  if (!pipe) return out;
  std::string text;
  char piece[kPieceSize];
  while (fgets(piece, sizeof piece, pipe.get())) text += piece;
  out = text;
  return out;
}

void executePcieCommand(const std::string& argument, const char* format) {
  char command[kPcieCommandSize];
  int needed = snprintf(command, sizeof command, format, argument.c_str());
  if (needed < 0 || needed >= kPcieCommandSize) {
    reportTo(stderr, Priority::kError,
             "Error: command line for %s is longer than %d characters, not run.\n",
             argument.c_str(), kPcieCommandSize - 1);
    return;
  }
  char output[kPcieCommandSize];
  cmdResult(command, output, sizeof output);
}

std::string whichBinary(std::string name) {
  const char* search_path = getenv(kPathVariable);
  if (!search_path) return "";
  std::vector<char> copy(search_path, search_path + strlen(search_path) + 1);
  char* rest = nullptr;
  for (char* dir = strtok_r(copy.data(), kPathSeparators, &rest); dir;
       dir = strtok_r(nullptr, kPathSeparators, &rest)) {
    std::string candidate = std::string(dir) + "/" + name;
    if (is_file_exist(candidate)) return candidate;
  }
  return "";
}

int SetTerminalEnvironment() { return putenv(kTerminalEntry); }
