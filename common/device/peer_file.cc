#include "common/device/peer_file.h"

#include <sys/stat.h>

#include <cstdio>

#include "common/device/exchange_area.h"
#include "common/device/windows.h"
#include "common/log/console.h"

std::optional<PeerFile> readPeerFd(int fd, const std::string& path) {
  struct stat st {};
  unsigned long word0 = 0;
  const bool sized = ::fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof word0);
  if (sized && readMemoryReadOnly(sizeof word0, &word0, fd, 0)) {
    const unsigned long count = areaWordCount(word0);
    // The count is checked before anything is sized by it: a malformed file
    // may announce billions of words.
    if (count <= kMaxAreaWords && st.st_size >= static_cast<off_t>(count * sizeof word0)) {
      PeerFile file{areaSelf(word0), std::vector<unsigned long>(count)};
      if (readMemoryReadOnly(count * sizeof word0, file.words.data(), fd, 0)) {
        if (count > 0) file.words[0] = file.self;
        return file;
      }
    }
  }
  report(Priority::kError, "Error: Peer configuration file %s is malformed, skipping it\n",
         path.c_str());
  return std::nullopt;
}
