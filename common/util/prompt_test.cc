#include "common/util/prompt.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "tests/sim/tempdir.h"

namespace {

// Feeds `input` to standard input for the lifetime of the object.
class StdinFromText {
 public:
  explicit StdinFromText(const std::string& input) {
    std::string file = dir_.write("stdin", input);
    saved_ = dup(STDIN_FILENO);
    int fd = open(file.c_str(), O_RDONLY);
    dup2(fd, STDIN_FILENO);
    close(fd);
    reset();
  }
  ~StdinFromText() {
    dup2(saved_, STDIN_FILENO);
    close(saved_);
    reset();
  }

 private:
  static void reset() {
    __fpurge(stdin);
    clearerr(stdin);
    std::cin.clear();
  }
  sim::TempDir dir_;
  int saved_;
};

struct SelectCase {
  std::string input;
  bool valid;
  uint32_t value;
};

class GetValidSelectTest : public testing::TestWithParam<SelectCase> {};

TEST_P(GetValidSelectTest, AcceptsExactlyTheDecimalTextOfAnAllowedValue) {
  const SelectCase& c = GetParam();
  StdinFromText in(c.input);
  uint32_t out = 12345;
  ASSERT_EQ(get_valid_select({1, 2, 3, 2147483648u, 4294967295u}, out), c.valid) << c.input;
  if (c.valid) {
    EXPECT_EQ(out, c.value);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GetValidSelectTest,
    testing::Values(SelectCase{"2\n", true, 2},
                    SelectCase{"3", true, 3},  // end of input ends the line
                    SelectCase{"02\n", false, 0}, SelectCase{" 2\n", false, 0},
                    SelectCase{"2 \n", false, 0}, SelectCase{"4\n", false, 0},
                    SelectCase{"+2\n", false, 0}, SelectCase{"\n", false, 0},
                    SelectCase{"", false, 0}, SelectCase{"2147483648\n", true, 2147483648u},
                    SelectCase{"4294967295\n", true, 4294967295u}, SelectCase{"1\n2\n", true, 1}),
    [](const testing::TestParamInfo<SelectCase>& info) {
      std::string name = "Input";  // "+2\n": InputPlus2NL
      for (char c : info.param.input)
        name += c == '\n' ? "NL" : c == ' ' ? "Space" : c == '+' ? "Plus" : std::string(1, c);
      return name;
    });

TEST(GetValidSelect, ReadsOneLinePerCall) {
  StdinFromText in("9\n3\n");
  uint32_t out = 0;
  EXPECT_FALSE(get_valid_select({3}, out));
  EXPECT_TRUE(get_valid_select({3}, out));
  EXPECT_EQ(out, 3u);
}

TEST(GetValidSelect, NothingAllowedAcceptsNothing) {
  StdinFromText in("0\n");
  uint32_t out = 0;
  EXPECT_FALSE(get_valid_select({}, out));
}

}  // namespace
