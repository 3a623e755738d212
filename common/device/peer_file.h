// Reading a peer configuration file: the exchange area of one GPU as p2ptool
// stored it in the guest (layout: exchange_area.h).
#pragma once

#include <optional>
#include <string>
#include <vector>

struct PeerFile {
  unsigned long self = 0;            // host packed BDF number of the GPU
  std::vector<unsigned long> words;  // all words, word 0 cut to the self field
};

// Reads the peer configuration file open as `fd` (named `path` in messages)
// through a read-only mapping; `fd` may be open O_RDONLY. Nothing (after a
// message) when it is malformed: shorter than its word count says, or with a
// count beyond what one transfer maps. An empty file is malformed too; it is
// never mapped, since touching a mapping past the end of a file faults. The
// descriptor stays open.
std::optional<PeerFile> readPeerFd(int fd, const std::string& path);
