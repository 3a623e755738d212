// Helpers shared by the fuzz targets: in-memory files and property checks.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/util/scoped.h"

// Stops the run so that libFuzzer keeps the input as a crash.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      fprintf(stderr, "%s:%d: property violated: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                           \
    }                                                                                    \
  } while (0)

// An anonymous in-memory file of exactly `offset` + `size` bytes holding the
// bytes at `offset` (a hole before them).
inline ScopedFd memoryFile(const uint8_t* data, size_t size, off_t offset = 0) {
  ScopedFd fd(memfd_create("fuzz-input", 0));
  FUZZ_CHECK(fd.valid());
  FUZZ_CHECK(ftruncate(fd.get(), offset + static_cast<off_t>(size)) == 0);
  for (size_t done = 0; done < size;) {
    const ssize_t n = pwrite(fd.get(), data + done, size - done, offset + done);
    FUZZ_CHECK(n > 0);
    done += static_cast<size_t>(n);
  }
  return fd;
}

// The path under which the process can open one of its descriptors again.
inline std::string descriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

inline uint64_t loadWord(const uint8_t* bytes) {
  uint64_t word = 0;
  memcpy(&word, bytes, sizeof word);  // the peer files and the windows are little-endian
  return word;
}
