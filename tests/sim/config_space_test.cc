#include "tests/sim/config_space.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace sim {
namespace {

// Walks the standard list the way a driver does; returns the IDs in order.
std::vector<int> capabilityIds(const std::vector<uint8_t>& config) {
  std::vector<int> ids;
  for (size_t at = config[0x34]; at != 0 && ids.size() < 48; at = config[at + 1])
    ids.push_back(config[at]);
  return ids;
}

uint16_t word(const std::vector<uint8_t>& c, size_t at) {
  return static_cast<uint16_t>(c[at] | c[at + 1] << 8);
}

uint32_t dword(const std::vector<uint8_t>& c, size_t at) {
  return word(c, at) | static_cast<uint32_t>(word(c, at + 2)) << 16;
}

struct TypeRow {
  PortType type;
  bool bridge;
  uint16_t caps_low_byte;  // version | type << 4
};

class PcieTypeTest : public ::testing::TestWithParam<TypeRow> {};

TEST_P(PcieTypeTest, ListIsPmMsiThenPcieVersion2WithTheType) {
  FunctionLayout layout;
  layout.type = GetParam().type;
  layout.bridge = GetParam().bridge;
  std::vector<uint8_t> c = buildConfig(layout);
  ASSERT_EQ(c.size(), kConfigSize);
  EXPECT_EQ(capabilityIds(c), (std::vector<int>{kCapIdPm, kCapIdMsi, kCapIdPcie}));
  int pcie = findCapability(c, kCapIdPcie);
  ASSERT_GT(pcie, 0x3F);
  EXPECT_EQ(word(c, static_cast<size_t>(pcie) + 2) & 0xFF, GetParam().caps_low_byte);
  EXPECT_EQ(pcieType(c), static_cast<int>(GetParam().type));
  EXPECT_EQ(c[kHeaderTypeOffset], GetParam().bridge ? 1 : 0);
  EXPECT_EQ(word(c, kStatusOffset) & 0x10, 0x10);  // capability list present
}

INSTANTIATE_TEST_SUITE_P(Types, PcieTypeTest,
                         ::testing::Values(TypeRow{PortType::kEndpoint, false, 0x02},
                                           TypeRow{PortType::kRootPort, true, 0x42},
                                           TypeRow{PortType::kUpstream, true, 0x52},
                                           TypeRow{PortType::kDownstream, true, 0x62}),
                         [](const ::testing::TestParamInfo<TypeRow>& info) {
                           switch (info.param.type) {
                             case PortType::kEndpoint:
                               return "Endpoint";
                             case PortType::kRootPort:
                               return "RootPort";
                             case PortType::kUpstream:
                               return "Upstream";
                             case PortType::kDownstream:
                               return "Downstream";
                           }
                           return "Unknown";
                         });

TEST(ConfigSpaceTest, HeaderFieldsAreLittleEndian) {
  FunctionLayout layout;
  layout.vendor = 0x1cb7;
  layout.device = 0x0003;
  layout.class_code = 0x030200;
  layout.command = 0x0406;
  layout.pm_control = 0x1234;
  layout.bar0 = 0x38E0000000;
  std::vector<uint8_t> c = buildConfig(layout);
  EXPECT_EQ(c[0], 0xb7);
  EXPECT_EQ(c[1], 0x1c);
  EXPECT_EQ(word(c, 2), 0x0003);
  EXPECT_EQ(word(c, kCommandOffset), 0x0406);
  EXPECT_EQ(c[0x0B], 0x03);
  EXPECT_EQ(c[0x0A], 0x02);
  EXPECT_EQ(word(c, c[kCapPointerOffset] + 4u), 0x1234);
  std::vector<uint8_t> bar(c.begin() + kBar0Offset, c.begin() + kBar0Offset + 8);
  EXPECT_EQ(bar, (std::vector<uint8_t>{0x0C, 0x00, 0x00, 0xE0, 0x38, 0x00, 0x00, 0x00}));
}

TEST(ConfigSpaceTest, PortsCarryAcsAfterAerWithTheControlWord) {
  FunctionLayout layout;
  layout.bridge = true;
  layout.type = PortType::kDownstream;
  layout.acs = true;
  layout.acs_control = 0x001d;
  std::vector<uint8_t> c = buildConfig(layout);
  EXPECT_EQ(dword(c, kExtCapStart) & 0xFFFF, kExtCapIdAer);
  size_t next = (dword(c, kExtCapStart) >> 20) & 0xFFC;
  ASSERT_GE(next, kExtCapStart);
  EXPECT_EQ(dword(c, next) & 0xFFFF, kExtCapIdAcs);
  EXPECT_EQ(dword(c, next) >> 20, 0u);  // end of the list
  EXPECT_EQ(word(c, next + kAcsControlInCap), 0x001d);
  EXPECT_EQ(findExtCapability(c, kExtCapIdAcs), static_cast<int>(next));
}

TEST(ConfigSpaceTest, WithoutAcsTheExtendedListHoldsOnlyAer) {
  FunctionLayout layout;
  layout.bridge = true;
  layout.type = PortType::kDownstream;
  layout.acs = false;
  std::vector<uint8_t> c = buildConfig(layout);
  EXPECT_EQ(dword(c, kExtCapStart), 0x00020001u);  // AER v2, no next
  EXPECT_EQ(findExtCapability(c, kExtCapIdAcs), -1);
  EXPECT_EQ(findExtCapability(c, kExtCapIdAer), static_cast<int>(kExtCapStart));
}

TEST(ConfigSpaceTest, HandMadeCapabilityListIsChained) {
  std::vector<uint8_t> c = buildConfig(FunctionLayout{});
  layCapabilityList(
      c, {{0x01, 0x0003, 0x0000}, {0x10, pcieCapsWord(1, 6), 0}, {0x10, pcieCapsWord(2, 6), 0}});
  EXPECT_EQ(c[kCapPointerOffset], 0x40);
  EXPECT_EQ(capabilityIds(c), (std::vector<int>{0x01, 0x10, 0x10}));
  EXPECT_EQ(word(c, 0x52), 0x0061);
  EXPECT_EQ(word(c, 0x62), 0x0062);
  EXPECT_EQ(c[0x61], 0);  // last entry ends the list
  EXPECT_EQ(c[0x70], 0);  // the old list is gone
  layCapabilityList(c, {});
  EXPECT_EQ(c[kCapPointerOffset], 0);
}

TEST(ConfigSpaceTest, WalkersStopOnAConfigThatReadsAllOnes) {
  std::vector<uint8_t> c(kConfigSize, 0xFF);
  EXPECT_EQ(findCapability(c, kCapIdPcie), -1);
  EXPECT_EQ(findExtCapability(c, kExtCapIdAcs), -1);
  EXPECT_EQ(pcieType(c), -1);
}

TEST(ConfigSpaceTest, LittleEndianHelpersRoundTripAndCheckBounds) {
  std::vector<uint8_t> bytes(16, 0);
  putLe(bytes, 3, 8, 0x0102030405060708ULL);
  EXPECT_EQ(bytes[3], 0x08);
  EXPECT_EQ(bytes[10], 0x01);
  EXPECT_EQ(getLe(bytes, 3, 8), 0x0102030405060708ULL);
  EXPECT_EQ(getLe(bytes, 4, 2), 0x0607u);
  EXPECT_THROW(getLe(bytes, 12, 8), std::out_of_range);
  EXPECT_THROW(putLe(bytes, 0, 9, 0), std::out_of_range);
}

}  // namespace
}  // namespace sim
