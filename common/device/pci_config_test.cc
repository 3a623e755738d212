#include "common/device/pci_config.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/sim/config_space.h"

namespace {

std::vector<uint8_t> downstreamPort(bool acs) {
  sim::FunctionLayout port;
  port.vendor = 0x1e4d;
  port.bridge = true;
  port.type = sim::PortType::kDownstream;
  port.acs = acs;
  port.acs_control = 0x005f;
  return sim::buildConfig(port);
}

TEST(ConfigSpace, FindsTheAcsControlWordOrNothing) {
  EXPECT_EQ(ConfigSpace(downstreamPort(true)).acsControl(), 0x005f);
  EXPECT_EQ(ConfigSpace(downstreamPort(false)).acsControl(), std::nullopt);
  // An unprivileged reader sees 64 bytes; a looping list ends.
  std::vector<uint8_t> bytes = downstreamPort(true);
  EXPECT_EQ(ConfigSpace({bytes.begin(), bytes.begin() + 64}).acsControl(), std::nullopt);
  sim::putLe(bytes, 0x100, 4, 0x10010001);  // AER whose next pointer is itself
  EXPECT_EQ(ConfigSpace(bytes).findExtendedCapability(kExtCapIdAcs), std::nullopt);
}

TEST(ConfigSpace, AcsControlIsDecodedAsLspciNamesItsBits) {
  EXPECT_EQ(decodeAcsControl(0x001d),
            "SrcValid+ TransBlk- ReqRedir+ CmpltRedir+ UpstreamFwd+ EgressCtrl- DirectTrans-");
  EXPECT_EQ(decodeAcsControl(0x0040),
            "SrcValid- TransBlk- ReqRedir- CmpltRedir- UpstreamFwd- EgressCtrl- DirectTrans+");
}

TEST(ConfigSpace, AcsIsAbsentOnlyWhereTheWholeSpaceAnswers) {
  std::vector<uint8_t> gone(4096, 0xFF);
  const std::vector<uint8_t> bare = downstreamPort(false);
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    AcsPresence presence;
  } rows[] = {{"ACS", downstreamPort(true), AcsPresence::kPresent},
              {"no ACS", bare, AcsPresence::kAbsent},
              {"gone: all ones", gone, AcsPresence::kUnknown},
              {"256 bytes", {bare.begin(), bare.begin() + 256}, AcsPresence::kUnknown},
              {"nothing", {}, AcsPresence::kUnknown}};
  for (const auto& row : rows)
    EXPECT_EQ(ConfigSpace(row.bytes).acsPresence(), row.presence) << row.what;
}

// Standard lists: PM 0x40 -> MSI 0x50 -> PCI Express 0x70 as built, then bent.
TEST(ConfigSpace, TheStandardListIsWalkedSafely) {
  sim::FunctionLayout gpu;
  gpu.vendor = 0x1cb7;
  const std::vector<uint8_t> built = sim::buildConfig(gpu);
  const struct {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> bend;
    std::vector<size_t> offsets;
  } rows[] = {
      {"as built", [](auto&) {}, {0x40, 0x50, 0x70}},
      {"low pointer bits", [](auto& c) { c[0x34] = 0x43, c[0x41] = 0x52; }, {0x40, 0x50, 0x70}},
      {"pointer 0: no list", [](auto& c) { c[0x34] = 0; }, {}},
      {"pointer into the header", [](auto& c) { c[0x51] = 0x3c; }, {0x40, 0x50}},
      {"loop", [](auto& c) { c[0x71] = 0x50; }, {0x40, 0x50, 0x70}},
      {"gone: ID 0xFF", [](auto& c) { c[0x50] = 0xFF; }, {0x40}},
      {"first 64 bytes only", [](auto& c) { c.resize(64); }, {}},
  };
  for (const auto& row : rows) {
    std::vector<uint8_t> bytes = built;
    row.bend(bytes);
    EXPECT_EQ(ConfigSpace(bytes).capabilities(), row.offsets) << row.what;
  }
  std::vector<uint8_t> msi_first = built;
  sim::layCapabilityList(msi_first, {{sim::kCapIdMsi, 0, 0}, {sim::kCapIdPm, 3, 8}});
  EXPECT_EQ(ConfigSpace(msi_first).findCapability(kCapIdPowerManagement), 0x50u);
  EXPECT_EQ(ConfigSpace(msi_first).findCapability(0x10), std::nullopt);
}

}  // namespace
