#include "common/device/board.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

#include "common/util/test_boxed_run.h"

namespace {

constexpr uint32_t kLegacyBoard = 0x7818;
constexpr uint32_t kBoardInfo = 0x78C0;
constexpr uint32_t kCustomId = 0x78F8;
constexpr uint32_t kBoardType = 0x72C0;
const char kBdf[] = "0000:3b:00.0";
const char kNoRegisterWindow[] = "Failed to open register for 0000:3b:00.0.\n";

uint32_t boardInfo(uint32_t product, uint32_t board) { return product << 25 | board; }

struct BoardCase {
  const char* name;
  std::optional<std::string> device_file;
  unsigned int device_id;  // as the caller passes it to the ID queries
  std::map<uint32_t, uint32_t> registers;
  bool register_window;
  std::string expected;  // "board=.. product=.. custom=.. dual=.. qm=.."
  bool dual_reads_registers;
};

class BoardTest : public testing::TestWithParam<BoardCase> {};

std::string describeBoard(unsigned int device_id) {
  std::ostringstream text;
  std::string bdf = kBdf;
  std::string dual;
  try {
    dual = ifDualChipboard(bdf) ? "1" : "0";
  } catch (const std::invalid_argument&) {
    dual = "invalid_argument";
  }
  printf("|");  // separates what the dual-chip test printed from the rest
  text << std::hex << "board=" << getBoardId(kBdf, device_id)
       << " product=" << getProductId(kBdf, device_id) << " custom=" << getCustomId(kBdf, device_id)
       << " dual=" << dual << " qm=" << isQMPcieBoard(kBdf);
  return text.str();
}

TEST_P(BoardTest, IdentifiesTheBoard) {
  P2P_REQUIRE_SANDBOX();
  const BoardCase& c = GetParam();
  FabricBox tree;
  sim::GpuOptions gpu;
  gpu.registers = c.registers;
  tree.fabric.addGpuBelowRootPort("pci0000:3a", "0000:3a:00.0", kBdf, gpu);
  tree.fabric.setFileText(kBdf, "device", c.device_file);
  if (!c.register_window) tree.fabric.setFileText(kBdf, "resource2", std::nullopt);
  const unsigned int device_id = c.device_id;
  BoxedRun run = runBoxed(tree.box(), [device_id] { return describeBoard(device_id); });
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.result, c.expected);
  const std::string dual_output = run.out.substr(0, run.out.find('|'));
  if (!c.register_window)
    EXPECT_EQ(dual_output, c.dual_reads_registers ? kNoRegisterWindow : "") << run.out;
  else
    EXPECT_EQ(dual_output, "");
  // What a snapshot keeps of the window: exactly the register the dual-chip test reads.
  const BoxedRun read = runBoxed(tree.box(), [] {
    std::ostringstream words;
    for (const auto& [offset, value] : readBoardRegisters(kBdf).words)
      words << std::hex << offset << "=" << value << " ";
    return words.str();
  });
  std::ostringstream expected;
  const uint32_t offset = c.device_id == 0x0210 ? kBoardType : kBoardInfo;
  if (c.register_window && c.dual_reads_registers)
    expected << std::hex << offset << "="
             << (c.registers.count(offset) ? c.registers.at(offset) : 0) << " ";
  EXPECT_EQ(read.result, expected.str());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BoardTest,
    testing::Values(
        BoardCase{"DualChipDevice",
                  "0x0003\n",
                  0x0003,
                  {{kBoardInfo, 0x06000005}, {kCustomId, 0xCAFEF00D}},
                  true,
                  "board=5 product=3 custom=cafef00d dual=1 qm=0",
                  false},
        BoardCase{"DualChipDeviceWhateverTheProduct",
                  "0x0003\n",
                  0x0003,
                  {{kBoardInfo, boardInfo(4, 1)}},
                  true,
                  "board=1 product=4 custom=0 dual=1 qm=0",
                  false},
        BoardCase{"DualChipDeviceWithoutRegisterWindow",
                  "0x000b\n",
                  0x000B,
                  {},
                  false,
                  "board=0 product=0 custom=0 dual=1 qm=0",
                  false},
        BoardCase{"Device7",
                  "0x0007\n",
                  0x0007,
                  {{kBoardInfo, boardInfo(31, 7)}},
                  true,
                  "board=7 product=1f custom=0 dual=1 qm=0",
                  false},
        BoardCase{"DeviceF",
                  "0x000f\n",
                  0x000F,
                  {{kCustomId, 0x12345678}},
                  true,
                  "board=0 product=0 custom=12345678 dual=1 qm=0",
                  false},
        BoardCase{"Device2DualProduct",
                  "0x0002\n",
                  0x0002,
                  {{kBoardInfo, boardInfo(12, 2)}},
                  true,
                  "board=2 product=c custom=0 dual=1 qm=0",
                  true},
        BoardCase{"Device2SingleProduct",
                  "0x0002\n",
                  0x0002,
                  {{kBoardInfo, boardInfo(4, 2)}},
                  true,
                  "board=2 product=4 custom=0 dual=0 qm=0",
                  true},
        BoardCase{"Device2WithoutRegisterWindow",
                  "0x0002\n",
                  0x0002,
                  {},
                  false,
                  "board=0 product=0 custom=0 dual=0 qm=0",
                  true},
        // Device 0x0001: its board ID sits in 0x7818, yet the dual-chip test reads 0x78C0.
        BoardCase{"Device1",
                  "0x0001\n",
                  0x0001,
                  {{kLegacyBoard, 0x00038000}, {kBoardInfo, boardInfo(19, 5)}, {kCustomId, 9}},
                  true,
                  "board=7 product=0 custom=0 dual=1 qm=0",
                  true},
        BoardCase{"Device1BoardIdBits",
                  "0x0001\n",
                  0x0001,
                  {{kLegacyBoard, 0xFFFC7FFF}, {kBoardInfo, boardInfo(4, 0)}},
                  true,
                  "board=0 product=0 custom=0 dual=0 qm=0",
                  true},
        BoardCase{"Device210QmBoard",
                  "0x0210\n",
                  0x0210,
                  {{kBoardType, 0x01000000}, {kBoardInfo, 0x06000005}, {kCustomId, 7}},
                  true,
                  "board=0 product=0 custom=0 dual=0 qm=1",
                  true},
        BoardCase{"Device210OtherBoard",
                  "0x0210\n",
                  0x0210,
                  {{kBoardType, 0xFEFFFFFF}, {kBoardInfo, boardInfo(4, 0)}},
                  true,
                  "board=0 product=0 custom=0 dual=1 qm=0",
                  true},
        BoardCase{"Device210WithoutRegisterWindow",
                  "0x0210\n",
                  0x0210,
                  {},
                  false,
                  "board=0 product=0 custom=0 dual=1 qm=0",
                  true},
        BoardCase{"OtherDevice",
                  "0x0005\n",
                  0x0005,
                  {{kBoardInfo, boardInfo(28, 3)}, {kCustomId, 5}, {kBoardType, 0x01000000}},
                  true,
                  "board=0 product=0 custom=0 dual=1 qm=1",
                  true},
        BoardCase{"UnreadableDeviceId",
                  "garbage\n",
                  0x0003,
                  {{kBoardInfo, 0x06000005}},
                  true,
                  "board=5 product=3 custom=0 dual=invalid_argument qm=0",
                  false},
        BoardCase{"EmptyDeviceFile",
                  "",
                  0x0003,
                  {},
                  true,
                  "board=0 product=0 custom=0 dual=invalid_argument qm=0",
                  false},
        BoardCase{"MissingDeviceFile",
                  std::nullopt,
                  0x0002,
                  {{kBoardInfo, boardInfo(3, 1)}},
                  true,
                  "board=1 product=3 custom=0 dual=invalid_argument qm=0",
                  false}),
    [](const testing::TestParamInfo<BoardCase>& info) { return info.param.name; });

TEST(Board, UnreadableDeviceIdNamesTheGpu) {
  P2P_REQUIRE_SANDBOX();
  FabricBox tree;
  tree.fabric.addGpuBelowRootPort("pci0000:3a", "0000:3a:00.0", kBdf);
  tree.fabric.setFileText(kBdf, "device", "none\n");
  BoxedRun run = runBoxed(tree.box(), [] {
    std::string bdf = kBdf;
    try {
      ifDualChipboard(bdf);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  });
  EXPECT_NE(run.result.find(kBdf), std::string::npos) << run.result;
}

}  // namespace
