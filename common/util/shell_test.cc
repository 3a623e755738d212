#include "common/util/shell.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/sim/tempdir.h"

namespace {

const std::string kLine300(300, 'x');

struct BufferCase {
  const char* name;
  std::string command;
  int len;
  std::string expected;
};

class CmdResultBufferTest : public testing::TestWithParam<BufferCase> {};

TEST_P(CmdResultBufferTest, StoresWholePiecesThatFit) {
  const BufferCase& c = GetParam();
  std::string buf(c.len, '#');
  char* result = cmdResult(c.command.c_str(), buf.data(), c.len);
  ASSERT_EQ(result, buf.data());
  EXPECT_EQ(std::string(result), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CmdResultBufferTest,
    testing::Values(BufferCase{"LineEndKept", "printf 'abc\\n'", 100, "abc\n"},
                    BufferCase{"SecondLineDropped", "printf '12345\\n6789\\n'", 10, "12345\n"},
                    BufferCase{"BothLinesFit", "printf '12345\\n6789\\n'", 12, "12345\n6789\n"},
                    BufferCase{"ExactSizeNeedsRoomForNul", "printf '12345\\n'", 6, ""},
                    BufferCase{"OneMoreByteFits", "printf '12345\\n'", 7, "12345\n"},
                    BufferCase{"NoOutput", "true", 100, ""},
                    BufferCase{"LongLineInTwoPieces", "printf '%s\\n' " + kLine300, 400,
                               kLine300 + "\n"},
                    BufferCase{"LongLineCutAtPieceBoundary", "printf '%s\\n' " + kLine300, 300,
                               kLine300.substr(0, 255)},
                    BufferCase{"NothingAfterTheCut", "printf 'a\\nbbbbbbbbbb\\nc\\n'", 8, "a\n"}),
    [](const testing::TestParamInfo<BufferCase>& info) { return info.param.name; });

TEST(CmdResultString, ReplacesOutWithAllOutput) {
  std::string out = "old text";
  std::string result = cmdResult(std::string("printf 'one\\ntwo\\n'"), out);
  EXPECT_EQ(out, "one\ntwo\n");
  EXPECT_EQ(result, out);
}

TEST(CmdResultString, KeepsLongLinesWhole) {
  std::string out;
  cmdResult("printf '%s\\n' " + kLine300 + kLine300, out);
  EXPECT_EQ(out, kLine300 + kLine300 + "\n");
}

TEST(CmdResultString, NoOutputGivesEmptyText) {
  std::string out = "stale";
  EXPECT_EQ(cmdResult(std::string("true"), out), "");
  EXPECT_EQ(out, "");
}

// A command line of exactly `length` characters: "touch " + path.
std::string pathForCommandLength(const sim::TempDir& dir, size_t length) {
  std::string prefix = dir / "";
  size_t fixed = std::strlen("touch ") + prefix.size();
  return prefix + std::string(length - fixed, 'f');
}

TEST(ExecutePcieCommand, RunsTheFormattedCommand) {
  sim::TempDir dir;
  std::string file = pathForCommandLength(dir, 99);
  executePcieCommand(file, "touch %s");
  EXPECT_EQ(access(file.c_str(), F_OK), 0);
}

TEST(ExecutePcieCommand, RefusesACommandLineThatDoesNotFit) {
  sim::TempDir dir;
  std::string file = pathForCommandLength(dir, 100);
  testing::internal::CaptureStderr();
  executePcieCommand(file, "touch %s");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(access(file.c_str(), F_OK), 0);
  // A truncated command would have created the file one character shorter.
  EXPECT_NE(access(file.substr(0, file.size() - 1).c_str(), F_OK), 0);
  EXPECT_NE(err.find("not run"), std::string::npos) << err;
}

// Saves an environment variable and puts it back afterwards.
class EnvGuard {
 public:
  explicit EnvGuard(const char* name) : name_(name) {
    const char* value = getenv(name);
    had_ = value != nullptr;
    if (had_) value_ = value;
  }
  ~EnvGuard() {
    if (had_)
      setenv(name_, value_.c_str(), 1);
    else
      unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_;
  std::string value_;
};

class WhichBinaryTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_.write("first/tool", "");
    dir_.write("second/tool", "");
    dir_.write("second/other", "");
    std::filesystem::create_directories(dir_ / "empty");
  }
  sim::TempDir dir_;
  EnvGuard path_guard_{"PATH"};
};

TEST_F(WhichBinaryTest, FirstComponentThatHasItWins) {
  setenv("PATH", (dir_ / "empty:" + dir_ / "second:" + dir_ / "first").c_str(), 1);
  EXPECT_EQ(whichBinary("tool"), dir_ / "second/tool");
}

TEST_F(WhichBinaryTest, EmptyComponentsAreSkipped) {
  // An empty component is not the current directory, where a "tool" exists too.
  std::filesystem::path old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_ / "first");
  setenv("PATH", ("::" + dir_ / "empty" + "::").c_str(), 1);
  std::string found = whichBinary("tool");
  std::filesystem::current_path(old_cwd);
  EXPECT_EQ(found, "");
}

TEST_F(WhichBinaryTest, ReturnsTheCandidateAsFormed) {
  setenv("PATH", (dir_ / "empty/../second/").c_str(), 1);
  EXPECT_EQ(whichBinary("other"), dir_ / "empty/../second//other");
}

TEST_F(WhichBinaryTest, NotFoundGivesEmpty) {
  setenv("PATH", (dir_ / "first:" + dir_ / "second").c_str(), 1);
  EXPECT_EQ(whichBinary("missing"), "");
}

TEST_F(WhichBinaryTest, UnsetPathGivesEmpty) {
  unsetenv("PATH");
  EXPECT_EQ(whichBinary("tool"), "");
}

TEST(SetTerminalEnvironment, SetsScreenForThisProcessAndItsChildren) {
  EnvGuard guard("TERM");
  setenv("TERM", "xterm", 1);
  EXPECT_EQ(SetTerminalEnvironment(), 0);
  EXPECT_STREQ(getenv("TERM"), "screen");
  std::string out;
  EXPECT_EQ(cmdResult(std::string("printf %s \"$TERM\""), out), "screen");
}

}  // namespace
