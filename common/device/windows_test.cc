#include "common/device/windows.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "common/util/scoped.h"
#include "common/util/test_boxed_run.h"
#include "tests/sim/tempdir.h"

namespace {

constexpr unsigned long kAreaOffset = 0x200000;
constexpr off_t kMemoryFileSize = 0x200100;
constexpr off_t kRegisterFileSize = 0x8000;
const char kMapFailed[] = "Map device memmory failed!\n";

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

std::vector<unsigned char> pattern(size_t length, unsigned char first) {
  std::vector<unsigned char> bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(first + i);
  return bytes;
}

// A sparse temp file of the given size; `fd()` is opened read-write (or read-only).
class WindowFile {
 public:
  WindowFile(off_t size, int flags = O_RDWR) : path_(dir_ / "window") {
    ScopedFd creator(open(path_.c_str(), O_RDWR | O_CREAT, 0600));
    EXPECT_EQ(ftruncate(creator.get(), size), 0);
    fd_ = open(path_.c_str(), flags);
  }
  ~WindowFile() {
    if (fd_ >= 0 && isOpen(fd_)) close(fd_);
  }
  int fd() const { return fd_; }
  void put(off_t offset, const void* data, size_t length) const {
    ScopedFd raw(open(path_.c_str(), O_RDWR));
    ASSERT_EQ(pwrite(raw.get(), data, length, offset), static_cast<ssize_t>(length));
  }
  std::vector<unsigned char> get(off_t offset, size_t length) const {
    std::vector<unsigned char> bytes(length);
    ScopedFd raw(open(path_.c_str(), O_RDONLY));
    EXPECT_EQ(pread(raw.get(), bytes.data(), length, offset), static_cast<ssize_t>(length));
    return bytes;
  }
  off_t size() const {
    struct stat info;
    stat(path_.c_str(), &info);
    return info.st_size;
  }

 private:
  sim::TempDir dir_;
  std::string path_;
  int fd_ = -1;
};

// --- memory transfers -------------------------------------------------------

TEST(ReadMemoryGlobal, CopiesTheBytesAtTheOffsetAndKeepsTheDescriptor) {
  WindowFile file(kMemoryFileSize);
  auto area = pattern(8, 0xA0);
  file.put(kAreaOffset - 1, "\x11", 1);  // a neighbour that must not be copied
  file.put(kAreaOffset, area.data(), area.size());
  file.put(kAreaOffset + 8, "\x22", 1);
  unsigned long buffer[2] = {0, 0x5555555555555555ul};
  readMemoryGlobal(8, buffer, file.fd(), kAreaOffset);
  EXPECT_EQ(std::memcmp(buffer, area.data(), 8), 0);
  EXPECT_EQ(buffer[1], 0x5555555555555555ul);
  ASSERT_TRUE(isOpen(file.fd()));
  unsigned long again = 0;
  readMemoryGlobal(8, &again, file.fd(), kAreaOffset);  // the descriptor is usable again
  EXPECT_EQ(again, buffer[0]);
}

TEST(ReadMemoryGlobal, WholeSpanUpToTheEndOfTheFile) {
  WindowFile file(kMemoryFileSize);
  auto area = pattern(kMemoryWindowSpan, 1);
  file.put(kAreaOffset, area.data(), area.size());
  unsigned long buffer[kMemoryWindowSpan / 8] = {};
  EXPECT_TRUE(readMemoryChecked(kMemoryWindowSpan, buffer, file.fd(), kAreaOffset));
  EXPECT_EQ(std::memcmp(buffer, area.data(), area.size()), 0);
}

TEST(ReadMemoryGlobal, SmallFileAtOffsetZero) {
  // A peer configuration file: far shorter than the 256 bytes mapped.
  WindowFile file(24);
  auto content = pattern(24, 0x30);
  file.put(0, content.data(), content.size());
  unsigned long buffer[3] = {};
  EXPECT_TRUE(readMemoryChecked(24, buffer, file.fd(), 0));
  EXPECT_EQ(std::memcmp(buffer, content.data(), 24), 0);
}

struct RefusedRead {
  const char* name;
  off_t file_size;
  unsigned long length;
  unsigned long offset;
  int flags;
  const char* message;
};

class ReadMemoryRefusedTest : public testing::TestWithParam<RefusedRead> {};

TEST_P(ReadMemoryRefusedTest, LeavesTheBufferUntouched) {
  const RefusedRead& c = GetParam();
  WindowFile file(c.file_size, c.flags);
  std::vector<unsigned char> junk(c.file_size > 0 ? c.file_size : 0, 0xEE);
  if (!junk.empty()) file.put(0, junk.data(), junk.size());
  std::vector<unsigned long> buffer(64, 0x1234);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(readMemoryChecked(c.length, buffer.data(), file.fd(), c.offset));
  readMemoryGlobal(c.length, buffer.data(), file.fd(), c.offset);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(buffer, std::vector<unsigned long>(64, 0x1234));
  EXPECT_NE(out.find(c.message), std::string::npos) << out;
  EXPECT_TRUE(isOpen(file.fd()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadMemoryRefusedTest,
    testing::Values(
        RefusedRead{"LongerThanTheSpan", kMemoryFileSize, 257, kAreaOffset, O_RDWR, "refused"},
        // Without the size check the second page would be touched past the end: SIGBUS.
        RefusedRead{"PastTheEndOfAShortFile", 4096, 8, 4092, O_RDWR, kMapFailed},
        RefusedRead{"OffsetBeyondTheFile", 16, 8, 0x200000, O_RDWR, kMapFailed},
        RefusedRead{"ReadOnlyDescriptorCannotBeMappedShared", 4096, 8, 0, O_RDONLY, kMapFailed},
        RefusedRead{"EmptyFile", 0, 8, 0, O_RDWR, kMapFailed}),
    [](const testing::TestParamInfo<RefusedRead>& info) { return info.param.name; });

TEST(ReadMemoryGlobal, AnEmptyTransferNeedsNoBuffer) {
  // A peer area of zero words: nothing to copy, and no buffer to copy into.
  WindowFile window(kMemoryFileSize);
  EXPECT_TRUE(readMemoryChecked(0, nullptr, window.fd(), kAreaOffset));
}

TEST(ReadMemoryGlobal, InvalidDescriptorIsAMappingFailure) {
  unsigned long buffer = 7;
  testing::internal::CaptureStdout();
  readMemoryGlobal(8, &buffer, -1, 0);
  EXPECT_FALSE(readMemoryChecked(8, &buffer, -1, 0));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(kMapFailed) + kMapFailed);
  EXPECT_EQ(buffer, 7u);
}

TEST(WriteMemoryGlobal, StoresTheBytesAndClosesTheDescriptor) {
  WindowFile file(kMemoryFileSize);
  auto area = pattern(24, 0x40);
  unsigned long buffer[3];
  std::memcpy(buffer, area.data(), area.size());
  int fd = file.fd();
  writeMemoryGlobal(24, buffer, fd, kAreaOffset);
  EXPECT_FALSE(isOpen(fd));
  EXPECT_EQ(file.get(kAreaOffset, 24), area);
  EXPECT_EQ(file.get(kAreaOffset + 24, 1), std::vector<unsigned char>{0});
  EXPECT_EQ(file.get(kAreaOffset - 1, 1), std::vector<unsigned char>{0});
  EXPECT_EQ(file.size(), kMemoryFileSize);
}

struct RefusedWrite {
  const char* name;
  off_t file_size;
  unsigned long length;
  unsigned long offset;
  int flags;
};

class WriteMemoryRefusedTest : public testing::TestWithParam<RefusedWrite> {};

TEST_P(WriteMemoryRefusedTest, WritesNothingButClosesTheDescriptor) {
  const RefusedWrite& c = GetParam();
  WindowFile file(c.file_size, c.flags);
  std::vector<unsigned long> buffer(64, 0xFFFFFFFFFFFFFFFFul);
  int fd = file.fd();
  ASSERT_TRUE(isOpen(fd));
  testing::internal::CaptureStdout();
  writeMemoryGlobal(c.length, buffer.data(), fd, c.offset);
  testing::internal::GetCapturedStdout();
  EXPECT_FALSE(isOpen(fd));
  EXPECT_EQ(file.size(), c.file_size);
  if (c.file_size > 0) {
    auto content = file.get(0, c.file_size);
    EXPECT_EQ(std::count(content.begin(), content.end(), 0), c.file_size) << "file was written";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteMemoryRefusedTest,
    testing::Values(RefusedWrite{"LongerThanTheSpan", 4096, 257, 0, O_RDWR},
                    RefusedWrite{"PastTheEndOfAShortFile", 4096, 16, 4088, O_RDWR},
                    RefusedWrite{"ReadOnlyDescriptor", 4096, 8, 0, O_RDONLY}),
    [](const testing::TestParamInfo<RefusedWrite>& info) { return info.param.name; });

// --- registers --------------------------------------------------------------

class RegisterTest : public testing::Test {
 protected:
  void SetUp() override {
    for (off_t offset = 0; offset < kRegisterFileSize; offset += 4) {
      uint32_t word = 0xC0DE0000u | static_cast<uint32_t>(offset / 4);
      words_.push_back(word);
    }
    file_.put(0, words_.data(), words_.size() * 4);
  }
  uint32_t wordAt(int offset) const { return words_[offset / 4]; }
  WindowFile file_{kRegisterFileSize};
  std::vector<uint32_t> words_;
};

TEST_F(RegisterTest, ReadsAlignedRegistersSilently) {
  for (int offset : {0, 0x7818, 0x78C0, 0x78F8, 0x72C0, 0x7FFC}) {
    testing::internal::CaptureStdout();
    unsigned int value = globalreadReg(file_.fd(), offset);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << offset;
    EXPECT_EQ(value, wordAt(offset)) << offset;
  }
}

TEST_F(RegisterTest, UnalignedOffsetReadsTheWordThatHoldsIt) {
  for (int offset : {0x78C1, 0x78C2, 0x78C3, 0x7FFD - 4}) {
    testing::internal::CaptureStdout();
    unsigned int value = globalreadReg(file_.fd(), offset);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Address(" + std::to_string(offset) + ") is not aligned.\n");
    EXPECT_EQ(value, wordAt(offset & ~3)) << offset;
  }
}

TEST_F(RegisterTest, OffsetOutsideTheWindowIsRefused) {
  for (int offset : {-4, -1, 0x7FFD, 0x7FFE, 0x8000, 0x10000, 0x7FFFFFFF}) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(globalreadReg(file_.fd(), offset), 0u) << offset;
    EXPECT_EQ(globalWriteReg(file_.fd(), offset, 0xDEADBEEF), -1) << offset;
    EXPECT_NE(testing::internal::GetCapturedStderr().find("outside"), std::string::npos);
  }
  EXPECT_EQ(file_.size(), kRegisterFileSize);
  std::vector<uint32_t> content(words_.size());
  auto bytes = file_.get(0, kRegisterFileSize);
  std::memcpy(content.data(), bytes.data(), bytes.size());
  EXPECT_EQ(content, words_);
  for (int offset : {0, 0x7FFC}) EXPECT_EQ(globalreadReg(file_.fd(), offset), wordAt(offset));
}

TEST_F(RegisterTest, WriteStoresOneWordAndReadsBack) {
  EXPECT_EQ(globalWriteReg(file_.fd(), 0x78C0, 0x06000005), 0);
  EXPECT_EQ(file_.get(0x78C0, 4), (std::vector<unsigned char>{0x05, 0x00, 0x00, 0x06}));
  EXPECT_EQ(globalreadReg(file_.fd(), 0x78C0), 0x06000005u);
  EXPECT_EQ(globalreadReg(file_.fd(), 0x78BC), wordAt(0x78BC));
  EXPECT_EQ(globalreadReg(file_.fd(), 0x78C4), wordAt(0x78C4));
  EXPECT_EQ(globalWriteReg(file_.fd(), 0x7FFC, 0xA5A5A5A5), 0);
  EXPECT_EQ(globalreadReg(file_.fd(), 0x7FFC), 0xA5A5A5A5u);
  EXPECT_EQ(file_.size(), kRegisterFileSize);
}

TEST(Register, InvalidDescriptorFailsFstat) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(globalreadReg(-1, 0), 0u);
  EXPECT_EQ(globalWriteReg(static_cast<unsigned int>(-1), 0, 1), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("fstat failed"), std::string::npos) << err;
}

TEST(Register, MappingFailureIsLoggedAtFatal) {
  WindowFile file(kRegisterFileSize, O_RDONLY);
  testing::internal::CaptureStderr();
  EXPECT_EQ(globalreadReg(file.fd(), 0), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Map device register failed when readReg!\n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(globalWriteReg(file.fd(), 0, 1), -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Map device register failed!\n");
}

// --- opening a GPU's windows by BDF string, inside the sandbox -------------

size_t openDescriptors() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

// "rw" when fd is open for reading and writing, "-1" when the open failed.
std::string accessOf(int fd) {
  if (fd < 0) return std::to_string(fd);
  ScopedFd owned(fd);
  return (fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDWR ? "rw" : "not rw";
}

class WindowByBdfTest : public testing::Test {
 protected:
  void SetUp() override {
    sim::GpuOptions gpu;
    gpu.registers = {{0x78C0, 0x06000005}, {0x7FFC, 0xFFFFFFFF}};
    tree_.fabric.addGpuBelowRootPort("pci0000:3a", "0000:3a:00.0", "0000:3b:00.0", gpu);
  }
  FabricBox tree_;
};

TEST_F(WindowByBdfTest, OpensBothWindowsReadWrite) {
  P2P_REQUIRE_SANDBOX();
  BoxedRun run = runBoxed(tree_.box(), [] {
    std::string result = accessOf(openRegister("0000:3b:00.0"));
    return result + " " + accessOf(openMemory("0000:3b:00.0"));
  });
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.result, "rw rw");
  EXPECT_EQ(run.out, "");
}

TEST_F(WindowByBdfTest, MissingWindowsAreReported) {
  P2P_REQUIRE_SANDBOX();
  BoxedRun run = runBoxed(tree_.box(), [] {
    std::string result = accessOf(openRegister("0000:99:00.0"));
    return result + " " + accessOf(openMemory("0000:99:00.0"));
  });
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.result, "-1 -1");
  EXPECT_EQ(run.out,
            "Failed to open register for 0000:99:00.0.\nFailed to open memory for 0000:99:00.0.\n");
}

TEST_F(WindowByBdfTest, DeviceInfoByRegReadsOneRegisterAndClosesTheWindow) {
  P2P_REQUIRE_SANDBOX();
  BoxedRun run = runBoxed(tree_.box(), [] {
    size_t before = openDescriptors();
    std::ostringstream text;
    text << std::hex;
    for (const auto& [bdf, offset] : {std::pair{"0000:3b:00.0", 0x78C0u},
                                      {"0000:3b:00.0", 0x7FFCu},
                                      {"0000:3b:00.0", 0x78F8u},
                                      {"0000:99:00.0", 0x78C0u}})
      text << getDeviceInfoByReg(bdf, offset) << " ";
    text << "leaked " << openDescriptors() - before;
    return text.str();
  });
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.result, "6000005 ffffffff 0 0 leaked 0");
  EXPECT_EQ(run.out, "Failed to open register for 0000:99:00.0.\n");
}

}  // namespace
