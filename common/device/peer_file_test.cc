#include "common/device/peer_file.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "common/util/scoped.h"
#include "tests/sim/tempdir.h"

namespace {

constexpr const char* kPath = "/etc/qz/vm_p2p_cfg/0000:00:05.0";

// An in-memory file holding the given bytes.
ScopedFd peerFile(const std::string& bytes) {
  ScopedFd fd(memfd_create("peer", 0));
  EXPECT_TRUE(fd.valid());
  EXPECT_EQ(write(fd.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  return fd;
}

std::string wordBytes(const std::vector<unsigned long>& words) {
  return std::string(reinterpret_cast<const char*>(words.data()), words.size() * sizeof(words[0]));
}

TEST(PeerFileTest, WellFormedFilesAreReadWithWordZeroCutToTheSelfField) {
  const struct {
    std::vector<unsigned long> file;
    std::vector<unsigned long> words;
  } cases[] = {
      {{0x0000000500003B00, 0x3B00, 0x38000000000, 0x3C00, 0x39000000000},
       {0x3B00, 0x3B00, 0x38000000000, 0x3C00, 0x39000000000}},
      {{0x0000000300003B20, 0x3B20, 0x38000000000, 0xABCDEF}, {0x3B20, 0x3B20, 0x38000000000}},
      {{0x0000000000003B00}, {}},
      {std::vector<unsigned long>(32, 0x0000001F00003B00),  // the largest file: 256 bytes
       [] {
         std::vector<unsigned long> words(31, 0x0000001F00003B00);
         words[0] = 0x3B00;
         return words;
       }()},
  };
  for (const auto& c : cases) {
    ScopedFd fd = peerFile(wordBytes(c.file));
    const auto file = readPeerFd(fd.get(), kPath);
    ASSERT_TRUE(file) << std::hex << c.file[0];
    EXPECT_EQ(file->self, c.file[0] & 0xFFFFFFFF);
    EXPECT_EQ(file->words, c.words);
  }
}

TEST(PeerFileTest, MalformedFilesAreReportedAndRejected) {
  std::vector<unsigned long> thirty_three(33, 0);
  thirty_three[0] = 0x0000002100003B00;
  const std::string cases[] = {
      "",
      std::string("\x00\x3b\x00\x00\x05\x00\x00", 7),
      wordBytes({0x0000000500003B00, 0x3B00}),
      wordBytes(thirty_three),
      wordBytes({0x0000000300003B00, 0x3B00, 0x380}) + std::string(257 - 24, '\0'),  // 257 bytes
  };
  for (const auto& bytes : cases) {
    ScopedFd fd = peerFile(bytes);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(readPeerFd(fd.get(), kPath)) << bytes.size();
    EXPECT_EQ(
        testing::internal::GetCapturedStdout(),
        std::string("Error: Peer configuration file ") + kPath + " is malformed, skipping it\n");
  }
}

// What a pass and the status report make of a GPU's file, by the same rules;
// a FIFO in its place never blocks.
TEST(PeerFileTest, LoadingNamesEveryReasonAFileCannotBeUsed) {
  const sim::TempDir etc("p2p-peers");
  const std::string dir = etc.subdir("qz/vm_p2p_cfg") + "/";
  etc.write("qz/vm_p2p_cfg/0000:00:05.0", wordBytes({0x0000000300003B00, 0x3B00, 0x380}));
  etc.write("qz/vm_p2p_cfg/0000:00:06.0", "short");
  ASSERT_EQ(mkfifo((dir + "0000:00:07.0").c_str(), 0644), 0);
  ASSERT_EQ(symlink("0000:00:09.0", (dir + "0000:00:09.0").c_str()), 0);  // there, never opens
  const struct {
    std::string dir, bdf;
    bool found;
    int error;            // of the open
    std::string problem;  // after "peer configuration file <path> "
  } cases[] = {
      {dir, "0000:00:05.0", true, 0, ""},
      {dir, "0000:00:06.0", true, 0, "is malformed"},
      {dir, "0000:00:07.0", true, 0, "is not a regular file"},
      {dir, "0000:00:08.0", false, ENOENT, "is missing"},
      {dir, "0000:00:09.0", true, ELOOP, "cannot be opened: Too many levels of symbolic links"},
      {etc / "none/", "0000:00:05.0", false, ENOENT, "is missing, and so is " + etc / "none/"},
  };
  for (const auto& c : cases) {
    const PeerFileLoad load = loadPeerFile(c.bdf, c.dir);
    EXPECT_EQ(load.path, c.dir + c.bdf);
    EXPECT_EQ(load.found, c.found) << load.path;
    EXPECT_EQ(load.error, c.error) << load.path;
    EXPECT_EQ(load.regular, c.found && c.error == 0 && c.problem != "is not a regular file")
        << load.path;
    EXPECT_EQ(load.file.has_value(), c.problem.empty()) << load.path;
    EXPECT_EQ(load.problem,
              c.problem.empty() ? "" : "peer configuration file " + load.path + " " + c.problem);
  }
}

// Leaves the process `headroom` bytes of address space beyond what it uses.
void limitAddressSpace(unsigned long headroom) {
  unsigned long pages = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  if (statm) {
    if (fscanf(statm, "%lu", &pages) != 1) pages = 0;
    fclose(statm);
  }
  const rlim_t limit = pages * sysconf(_SC_PAGESIZE) + headroom;
  const rlimit bounds = {limit, limit};
  setrlimit(RLIMIT_AS, &bounds);
}

// A file whose word 0 announces 0xFFFFFFFF words must be turned away before
// anything is sized by that count (32 GiB of words): the check runs in a child
// whose address space leaves no room for such an allocation.
TEST(PeerFileTest, AHugeWordCountIsRejectedWithoutSizingAnythingByIt) {
  ScopedFd fd = peerFile(wordBytes({0xFFFFFFFF00003B00, 0x3B00}));
  EXPECT_EXIT(
      {
        limitAddressSpace(1UL << 30);
        _exit(readPeerFd(fd.get(), kPath) ? 1 : 0);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
