// Reading a peer configuration file: the exchange area of one GPU as p2ptool
// stored it in the guest (layout: exchange_area.h).
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/device/exchange_area.h"

struct PeerFile {
  unsigned long self = 0;            // host packed BDF number of the GPU
  std::vector<unsigned long> words;  // all words, word 0 cut to the self field
};

// The largest well-formed peer file: a full exchange area.
inline constexpr size_t kMaxPeerFileBytes = kMaxAreaWords * sizeof(uint64_t);

// Reads the peer configuration file open as `fd` from its start, with
// pread() (paths.h); `fd` may be open O_RDONLY. Nothing when it is malformed: shorter
// than its word count says, with a count beyond what one transfer maps, or
// longer than kMaxPeerFileBytes (not read beyond that). An empty file is
// malformed too; so is one whose read fails. The descriptor stays open. A
// malformed file gets a message naming `path`.
std::optional<PeerFile> readPeerFd(int fd, const std::string& path);

// What the peer configuration file of the guest GPU `bdf` gives: p2pwatch
// programs the GPU from it and p2ptool --status judges it by the same rules.
struct PeerFileLoad {
  std::string path;              // dir + bdf
  bool found = false;            // something of that name is there
  bool regular = false;          // it opened as a regular file
  int error = 0;                 // errno of a failed open (ENOENT: missing) or read; else 0
  timespec modified{};           // its modification time, when regular
  std::optional<PeerFile> file;  // the content, when the file is usable
  std::string problem;           // why it is not, as "<path> is missing"; empty when usable
};

// Loads the peer file of `bdf` from `dir` (kPeerConfigDir), without a message.
// It is opened without blocking and only when it is a regular file: a FIFO,
// a directory, a file that cannot be opened or read and a malformed file are
// named as problems, and so are a missing file and a missing directory.
PeerFileLoad loadPeerFile(const std::string& bdf, const std::string& dir = kPeerConfigDir);
