#include "common/util/paths.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>

#include "tests/sim/tempdir.h"

namespace fs = std::filesystem;

namespace {

struct PathCase {
  const char* name;  // relative to the test directory
  bool is_dir;
  bool exists;
  const char* opened;  // what openRegularFile makes of it: "" (opened) or why not
};

// dir/          a directory
// file          a regular file
// link_dir  ->  dir
// link_file ->  file
// dangling  ->  nowhere
// fifo          a FIFO nobody writes
class PathTest : public testing::TestWithParam<PathCase> {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "dir");
    dir_.write("file", "x");
    fs::create_symlink(dir_ / "dir", dir_ / "link_dir");
    fs::create_symlink(dir_ / "file", dir_ / "link_file");
    fs::create_symlink(dir_ / "nowhere", dir_ / "dangling");
    ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  }
  sim::TempDir dir_;
};

TEST_P(PathTest, ClassifiesPath) {
  const PathCase& c = GetParam();
  std::string path = dir_ / c.name;
  EXPECT_EQ(is_dir_exist(path.c_str()), c.is_dir) << c.name;
  EXPECT_EQ(is_file_exist(path), c.exists) << c.name;
  const RegularFile file = openRegularFile(path);  // never blocks, not even on the FIFO
  EXPECT_EQ(file.fd.valid() ? "" : openFailure(file), c.opened) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathTest,
    testing::Values(PathCase{"dir", true, true, "not a regular file"},
                    PathCase{"file", false, true, ""},
                    PathCase{"link_dir", false, true, "not a regular file"},
                    PathCase{"link_file", false, true, ""},
                    PathCase{"dangling", false, false, "No such file or directory"},
                    PathCase{"missing", false, false, "No such file or directory"},
                    PathCase{"fifo", false, true, "not a regular file"},
                    // lstat fails with ENOTDIR here.
                    PathCase{"file/child", false, false, "Not a directory"},
                    PathCase{"link_dir/", true, true, "not a regular file"}),
    [](const testing::TestParamInfo<PathCase>& info) {  // file/child: file_child
      std::string name = info.param.name;
      std::replace(name.begin(), name.end(), '/', '_');
      return name;
    });

// At most the limit, one byte more to tell a longer file, from the start
// wherever the descriptor stands; a failed read names its errno.
TEST(ReadBoundedTest, ReadsAtMostTheLimitAndTellsALongerFile) {
  const sim::TempDir dir;
  const RegularFile file = openRegularFile(dir.write("five", "abcde"));
  ASSERT_EQ(lseek(file.fd.get(), 3, SEEK_SET), 3);
  for (const auto& [limit, bytes, longer] : {std::tuple<size_t, const char*, bool>{4, "abcd", true},
                                             {5, "abcde", false},
                                             {0, "", true}}) {
    const BoundedRead read = readBounded(file.fd.get(), limit);
    EXPECT_EQ(read.bytes, bytes) << limit;
    EXPECT_EQ(read.longer, longer) << limit;
    EXPECT_EQ(read.error, 0) << limit;
  }
  // Past the buffer of the first read, to the limit exactly.
  const std::string text(10000, 'x');
  const RegularFile longer = openRegularFile(dir.write("longer", text));
  EXPECT_EQ(readBounded(longer.fd.get(), text.size()).bytes, text);
  EXPECT_EQ(readBounded(longer.fd.get(), text.size()).longer, false);
  EXPECT_EQ(readBounded(longer.fd.get(), text.size() - 1).longer, true);
  const ScopedFd directory(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
  EXPECT_EQ(readBounded(directory.get(), 4).error, EISDIR);
}

TEST(GetCurrentDir, IsTheDirectoryOfTheRunningExecutable) {
  std::string expected = fs::read_symlink("/proc/self/exe").parent_path().string();
  std::string dir = get_current_dir();
  EXPECT_EQ(dir, expected);
  EXPECT_NE(dir.back(), '/');
}

}  // namespace
