// readFileData over files of arbitrary contents. Property: it returns 48 and
// a 192-byte block that starts with the file's first (up to) 48 bytes and is
// zero beyond them.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "common/device/firmware.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr size_t kHeadSize = 48;
constexpr size_t kBlockSize = 192;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ScopedFd fd = memoryFile(data, size);
  unsigned char* block = nullptr;
  FUZZ_CHECK(readFileData(descriptorPath(fd.get()).c_str(), &block) == static_cast<int>(kHeadSize));
  FUZZ_CHECK(block != nullptr);
  const size_t head = std::min(size, kHeadSize);
  FUZZ_CHECK(memcmp(block, data, head) == 0);
  for (size_t i = head; i < kBlockSize; ++i) FUZZ_CHECK(block[i] == 0);
  free(block);
  return 0;
}
