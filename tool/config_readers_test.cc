#include "tool/config_readers.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "tests/sim/tempdir.h"

namespace {

namespace fs = std::filesystem;

// A device directory holding nothing but a 256-byte `config` file.
class ConfigFile {
 public:
  ConfigFile() : bytes_(256, 0) {}

  void set(size_t offset, std::vector<unsigned char> bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) bytes_[offset + i] = bytes[i];
    std::ofstream(dir_ / "config", std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes_.data()), bytes_.size());
  }
  // Capability at `at`: id, next, and the 16-bit capabilities word.
  void cap(size_t at, unsigned char id, unsigned char next, unsigned short flags) {
    set(at, {id, next, static_cast<unsigned char>(flags & 0xff),
             static_cast<unsigned char>(flags >> 8)});
  }
  fs::path dir() const { return dir_.path(); }

 private:
  sim::TempDir dir_{"p2p-config"};
  std::vector<unsigned char> bytes_;
};

TEST(ConfigReadersTest, Bar0IsTheLittleEndianQuadWithItsFlagsCleared) {
  ConfigFile config;
  config.set(0x10, {0x0C, 0x00, 0x00, 0xE0, 0x38, 0x00, 0x00, 0x00});
  EXPECT_EQ(get_base0_addr(config.dir()), 0x00000038E0000000UL);
  // A 32-bit BAR0 (type bits 0b00) is its own dword only, whatever BAR1 holds.
  config.set(0x10, {0x00, 0x00, 0x00, 0x90, 0x91, 0x00, 0x00, 0x00});
  EXPECT_EQ(get_base0_addr(config.dir()), 0x0000000090000000UL);
  config.set(0x10, {0x08, 0x00, 0x00, 0xF0, 0x01, 0x00, 0x00, 0x00});
  EXPECT_EQ(get_base0_addr(config.dir()), 0x00000000F0000000UL);
  // A 64-bit BAR0 with a high half of 0 stays below 4 GiB.
  config.set(0x10, {0x04, 0x00, 0x00, 0xE0, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(get_base0_addr(config.dir()), 0x00000000E0000000UL);
  // A BAR0 reading all ones is unreadable, whatever BAR1 holds.
  config.set(0x10, {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00});
  EXPECT_EQ(get_base0_addr(config.dir()), kUnreadableBar0);
}

TEST(ConfigReadersTest, OnlyAnAssignedBar0IsFitForATable) {
  EXPECT_TRUE(isAssignedBar0(0x90000000UL));
  EXPECT_TRUE(isAssignedBar0(0x00000038E0000000UL));
  EXPECT_FALSE(isAssignedBar0(0));
  EXPECT_FALSE(isAssignedBar0(kUnreadableBar0));
  EXPECT_FALSE(isAssignedBar0(0xFFFFFFFFFFFFFFF0UL));
}

TEST(ConfigReadersTest, UnreadableConfigGivesAllOnesAndMinusOne) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(get_base0_addr("/nonexistent/0000:00:00.0"), kUnreadableBar0);
  EXPECT_EQ(get_cap_base_addr("/nonexistent/0000:00:00.0"), -1);
  // The message keeps its text and is completed by the file and the reason.
  const std::string line =
      "Failed to open config file. /nonexistent/0000:00:00.0/config: No such file or directory\n";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), line + line);
}

TEST(ConfigReadersTest, CapabilitySearchSkipsUnsuitableExpressCapabilities) {
  struct Case {
    unsigned short flags;  // version in bits 3..0, port type in bits 7..4
    bool accepted;
  };
  const Case cases[] = {{0x0002, true},  {0x0042, true},  {0x0052, true},  {0x0062, true},
                        {0x0061, false}, {0x0012, false}, {0x0072, false}, {0x0092, false}};
  for (const auto& c : cases) {
    ConfigFile config;
    config.set(0x34, {0x40});
    config.cap(0x40, 0x01, 0x50, 0x0003);   // power management first
    config.cap(0x50, 0x10, 0x00, c.flags);  // PCI Express, end of list
    EXPECT_EQ(get_cap_base_addr(config.dir()), c.accepted ? 0x50 : 0) << std::hex << c.flags;
  }
}

TEST(ConfigReadersTest, CapabilitySearchMasksTheIdAndFollowsTheList) {
  ConfigFile config;
  config.set(0x34, {0x40});
  config.cap(0x40, 0x10, 0x60, 0x0011);  // version 1: passed over
  config.cap(0x60, 0x90, 0x00, 0x0062);  // id 0x90 & 0x7f is 0x10: a downstream port
  EXPECT_EQ(get_cap_base_addr(config.dir()), 0x60);
}

TEST(ConfigReadersTest, CapabilitySearchEndsOnALoop) {
  ConfigFile config;
  config.set(0x34, {0x40});
  config.cap(0x40, 0x01, 0x48, 0x0003);
  config.cap(0x48, 0x05, 0x40, 0x0000);  // points back: would never end unbounded
  EXPECT_EQ(get_cap_base_addr(config.dir()), 0);
}

}  // namespace
