#include "common/util/paths.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "tests/sim/tempdir.h"

namespace fs = std::filesystem;

namespace {

struct PathCase {
  const char* name;  // relative to the test directory
  bool is_dir;
  bool exists;
};

// dir/          a directory
// file          a regular file
// link_dir  ->  dir
// link_file ->  file
// dangling  ->  nowhere
class PathTest : public testing::TestWithParam<PathCase> {
 protected:
  void SetUp() override {
    fs::create_directories(dir_ / "dir");
    dir_.write("file", "x");
    fs::create_symlink(dir_ / "dir", dir_ / "link_dir");
    fs::create_symlink(dir_ / "file", dir_ / "link_file");
    fs::create_symlink(dir_ / "nowhere", dir_ / "dangling");
  }
  sim::TempDir dir_;
};

TEST_P(PathTest, ClassifiesPath) {
  const PathCase& c = GetParam();
  std::string path = dir_ / c.name;
  EXPECT_EQ(is_dir_exist(path.c_str()), c.is_dir) << c.name;
  EXPECT_EQ(is_file_exist(path), c.exists) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathTest,
    testing::Values(PathCase{"dir", true, true}, PathCase{"file", false, true},
                    PathCase{"link_dir", false, true}, PathCase{"link_file", false, true},
                    PathCase{"dangling", false, false}, PathCase{"missing", false, false},
                    // lstat fails with ENOTDIR here.
                    PathCase{"file/child", false, false}, PathCase{"link_dir/", true, true}),
    [](const testing::TestParamInfo<PathCase>& info) {  // file/child: file_child
      std::string name = info.param.name;
      std::replace(name.begin(), name.end(), '/', '_');
      return name;
    });

TEST(GetCurrentDir, IsTheDirectoryOfTheRunningExecutable) {
  std::string expected = fs::read_symlink("/proc/self/exe").parent_path().string();
  std::string dir = get_current_dir();
  EXPECT_EQ(dir, expected);
  EXPECT_NE(dir.back(), '/');
}

}  // namespace
