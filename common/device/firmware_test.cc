#include "common/device/firmware.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/sim/tempdir.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct VersionRow {
  const char* version;
  bool at_most_threshold;
};

TEST(FirmwareTest, VersionAgainstThreshold) {
  const VersionRow rows[] = {
      {"1.0.9", true},
      {"1.0.8", true},
      {"1.0", true},
      {"0.9.99", true},
      {"1.0.10", false},
      {"1.1", false},
      {"2", false},
      {"1.0.9.0", false},     // longer with an equal prefix: larger
      {"v1.2", true},         // 0, 1, 2
      {"1..9", true},         // 1, 0, 9
      {"", true},             // 0
      {"1.0.9-rc", false},    // 1, 0, 9, 0
      {"4294967297", false},  // does not wrap round to 1
      {"1.0.4294967305", false},
      {"0.99999999999999999999", true},
  };
  for (const auto& row : rows)
    EXPECT_EQ(checkFwVersion(row.version), row.at_most_threshold) << row.version;
}

class FirmwareFileTest : public testing::Test {
 protected:
  FILE* openWith(const std::string& content) {
    const std::string path = dir_.write("image", content);
    return fopen(path.c_str(), "rb");
  }
  sim::TempDir dir_{"p2pfw"};
};

struct ImageRow {
  const char* label;
  const char* name;
  std::string content;
  int expected;
};

TEST_F(FirmwareFileTest, ChecksNameAndContent) {
  const std::string long_line(300, 'a');
  const ImageRow rows[] = {
      {"crlf lines", "fw.hex", "7f 45 4c 46\r\n01 02 03 04\r\n", 1},
      {"empty", "fw.hex", "", 1},
      {"long line", "fw.hex", long_line + "\n" + long_line, 1},
      {"upper-case digit", "fw.hex", "7f 45\n0A 01\n", 0},
      {"tab", "fw.hex", "7f\t45\n", 0},
      {"prefix", "fw.hex", "0x7f\n", 0},
      {"bad character in the second piece of a line", "fw.hex", long_line + "g" + long_line, 0},
      {"bad character on a late line", "fw.hex", "00 01\n02 03\n04 05\n06 0-\n", 0},
      {"NUL byte", "fw.hex", std::string("7f 45\0 4c\n", 10), 0},
      {"upper-case suffix", "fw.HEX", "7f\n", 0},
      {"suffix not last", "fw.hex.bak", "7f\n", 0},
      {"last dot in a directory", "v1.hex/fw", "7f\n", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    FILE* stream = openWith(row.content);
    ASSERT_NE(stream, nullptr);
    const int fd = fileno(stream);
    CaptureStdout();
    int result = checkFirmwareFile(row.name, stream);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(result, row.expected);
    if (row.expected == 1) {
      EXPECT_EQ(out, "");
      EXPECT_EQ(ftell(stream), static_cast<long>(row.content.size()));  // read to its end
      fclose(stream);
    } else {
      EXPECT_EQ(out, "Unsupported firmware file format: " + std::string(row.name) + "\n");
      EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // closed
    }
  }
}

TEST_F(FirmwareFileTest, NameWithoutDotIsAcceptedUnread) {
  FILE* stream = openWith("NOT AN IMAGE\t");
  ASSERT_NE(stream, nullptr);
  CaptureStdout();
  EXPECT_EQ(checkFirmwareFile("firmware", stream), 1);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(ftell(stream), 0);
  fclose(stream);
}

struct WordRow {
  const char* content;
  std::vector<uint32_t> words;  // read before the call that returns -1
};

TEST_F(FirmwareFileTest, ReadsLittleEndianWords) {
  const WordRow rows[] = {
      {"01 02 03 04\n", {0x04030201}},
      {"1ff 2 3 4", {0x040302ff}},
      {"1 2 3 1ff\n", {0xff030201}},
      {"78 56 34 12 ff ee dd cc\n", {0x12345678, 0xccddeeff}},
      {"01 02\n03\r\n04 05 06 07 08\n", {0x04030201, 0x08070605}},
      {"", {}},
      {"\n\n", {}},
      {"01 02 03 04 05 06\n", {0x04030201}},  // cut inside the second word
      {"01 02 zz 04\n", {}},                  // not a hexadecimal number
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.content);
    FILE* stream = openWith(row.content);
    ASSERT_NE(stream, nullptr);
    for (uint32_t expected : row.words) {
      uint32_t word = 0;
      EXPECT_EQ(hexFileRead32(stream, &word), 4);
      EXPECT_EQ(word, expected);
    }
    uint32_t untouched = 0xdeadbeef;
    EXPECT_EQ(hexFileRead32(stream, &untouched), -1);
    EXPECT_EQ(untouched, 0xdeadbeefu);
    fclose(stream);
  }
}

// Runs each test in a scratch directory as the current directory.
class HexSearchTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path());
  }
  void TearDown() override { std::filesystem::current_path(saved_); }

  std::string find(int* result) {
    std::string name = "unchanged";
    CaptureStdout();
    *result = sameDirFindHexFile(name);
    printed_ = GetCapturedStdout();
    return name;
  }

  sim::TempDir dir_{"p2phexdir"};
  std::filesystem::path saved_;
  std::string printed_;
};

TEST_F(HexSearchTest, FindsTheFirstInSortedOrder) {
  dir_.write("b.hex", "");
  dir_.write("a.hex", "");
  dir_.write("0.bin", "");
  int result = 0;
  EXPECT_EQ(find(&result), "a.hex");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(printed_, "");
}

TEST_F(HexSearchTest, NoImage) {
  dir_.write(".x.hex", "");  // hidden
  dir_.write("fw.HEX", "");
  dir_.subdir("sub");
  dir_.write("sub/a.hex", "");
  int result = -1;
  EXPECT_EQ(find(&result), "unchanged");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(printed_, "Failed to glob files.\n");
}

TEST_F(FirmwareFileTest, ReadsTheHeadIntoAZeroFilledBlock) {
  std::string content;
  for (int i = 0; i < 100; ++i) content += static_cast<char>(i + 1);
  const std::string shorter = content.substr(0, 10);
  for (const std::string& text : {content, shorter}) {
    SCOPED_TRACE(text.size());
    const std::string path = dir_.write("head.bin", text);
    // A freed block full of garbage that malloc would likely hand out again.
    void* garbage = malloc(192);
    memset(garbage, 0xAA, 192);
    free(garbage);
    unsigned char* data = nullptr;
    ASSERT_EQ(readFileData(path.c_str(), &data), 48);
    ASSERT_NE(data, nullptr);
    std::vector<unsigned char> expected(192, 0);
    for (size_t i = 0; i < std::min<size_t>(48, text.size()); ++i) expected[i] = text[i];
    EXPECT_EQ(std::vector<unsigned char>(data, data + 192), expected);
    free(data);
  }
}

TEST_F(FirmwareFileTest, UnreadableFile) {
  const std::string path = dir_ / "missing.bin";
  unsigned char sentinel = 0;
  unsigned char* data = &sentinel;
  CaptureStdout();
  EXPECT_EQ(readFileData(path.c_str(), &data), -1);
  EXPECT_EQ(GetCapturedStdout(), "Error: failed to open file " + path + "\n");
  EXPECT_EQ(data, nullptr);
}

}  // namespace
