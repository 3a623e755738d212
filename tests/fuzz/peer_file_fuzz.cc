// p2pwatch's reader of peer configuration files over arbitrary file contents.
// Property: a file is taken exactly when it is at most kMaxPeerFileBytes
// long and holds word 0 and the count of words that word 0 announces, at
// most kMaxAreaWords; the words are the file's own, word 0 cut to its self
// field.
#include <optional>
#include <vector>

#include "common/device/peer_file.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr const char* kPath = "/etc/qz/vm_p2p_cfg/0000:00:05.0";

std::optional<PeerFile> expectedPeerFile(const uint8_t* data, size_t size) {
  if (size < sizeof(uint64_t) || size > kMaxPeerFileBytes) return std::nullopt;
  const uint64_t word0 = loadWord(data);
  const uint64_t count = word0 >> 32;
  if (count > kMaxAreaWords || count > size / sizeof(uint64_t)) return std::nullopt;
  PeerFile file;
  file.self = word0 & 0xFFFFFFFF;
  for (uint64_t i = 0; i < count; ++i) file.words.push_back(loadWord(data + i * sizeof(uint64_t)));
  if (count > 0) file.words[0] = file.self;
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ScopedFd fd = memoryFile(data, size);
  const std::optional<PeerFile> file = readPeerFd(fd.get(), kPath);
  const std::optional<PeerFile> expected = expectedPeerFile(data, size);
  FUZZ_CHECK(file.has_value() == expected.has_value());
  if (file) {
    FUZZ_CHECK(file->self == expected->self);
    FUZZ_CHECK(file->words == expected->words);
  }
  return 0;
}
