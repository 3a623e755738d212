#include "common/util/replace_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <string>

#include "tests/sim/tempdir.h"

namespace fs = std::filesystem;

namespace {

std::set<std::string> namesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

// The path gets a new file of the mode asked for, whatever the umask; a
// reader holding the old file keeps its bytes whole.
TEST(ReplaceFileTest, ThePathGetsANewFileOfTheModeAskedFor) {
  sim::TempDir dir;
  const std::string path = dir.write("m.prom", "old\n");
  fs::create_hard_link(path, dir / "reader");
  for (const mode_t mask : {mode_t{0}, mode_t{077}}) {
    const mode_t saved = ::umask(mask);
    const std::string error = replaceFile(path, "new\n", 0644);
    ::umask(saved);
    EXPECT_EQ(error, "");
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0644)) << mask;
  }
  EXPECT_EQ(sim::readFile(path), "new\n");
  EXPECT_EQ(sim::readFile(dir / "reader"), "old\n");
  EXPECT_EQ(namesIn(dir.path()), (std::set<std::string>{"m.prom", "reader"}));
}

// A temporary name of the caller's: the file is made under it beside the
// path, and is gone when it is not committed.
TEST(ReplaceFileTest, ATemporaryNameOfTheCallersIsMadeBesideThePath) {
  sim::TempDir dir;
  {
    const FileReplacement file(dir / "0000:00:05.0", {".peer-XXXXXX"});
    const std::set<std::string> names = namesIn(dir.path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names.begin()->substr(0, 6) + "/" + std::to_string(names.begin()->size()),
              ".peer-/12");
  }
  EXPECT_TRUE(namesIn(dir.path()).empty());
}

}  // namespace
