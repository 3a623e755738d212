#include "watch/driver.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "tests/sim/tempdir.h"

namespace {

// What a driver reads from its control file when the command runs in a shell.
std::string lineReceived(const std::string& minor, const std::string& address) {
  const sim::TempDir dir("p2p-itr");
  const std::string control = dir / "itr_debug";
  EXPECT_EQ(system(ptP2pCfgCommand(minor, address, control).c_str()), 0);
  return sim::readFile(control);
}

TEST(DriverCommandTest, TheDriverReadsKeywordMinorAndAddressOnOneLine) {
  EXPECT_EQ(lineReceived("0", "38000000000"), "pt_p2p_cfg 0 38000000000\n");
  EXPECT_EQ(lineReceived("12", "39000000000"), "pt_p2p_cfg 12 39000000000\n");
}

// Two of a group's four GPUs are in this guest; a fifth member's address
// cannot be a BAR.
TEST(DriverCommandTest, OnlyMembersWithAMinorHereAreSentInTheOrderOfTheFile) {
  const PeerFile file{0x3D00,
                      {0x3D00, 0x3B00, 0x36000000000, 0x3D00, 0x38000000000, 0x3E00, 0x39000000000,
                       0x3F00, 0x3A000000000, 0x4000, 0}};
  testing::internal::CaptureStdout();
  const GroupPlan plan = planGroup(file, "/p", {{0x3D00, "0"}, {0x3E00, "1"}, {0x4000, "2"}});
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error: Peer configuration file /p gives member 4000 the address 0, skipping it\n");
  EXPECT_EQ(plan.lines, (std::vector<std::pair<std::string, std::string>>{{"0", "38000000000"},
                                                                          {"1", "39000000000"}}));
  EXPECT_EQ(plan.left_out, (std::vector<uint64_t>{0x3B00, 0x3F00}));
}

TEST(DriverCommandTest, CommandTextKeepsTwoBlanksBeforeTheAddress) {
  EXPECT_EQ(ptP2pCfgCommand("0", "38000000000", itrDebugFile("0000:00:05.0")),
            "echo pt_p2p_cfg 0  38000000000 > "
            "/sys/bus/pci/drivers/tamberon/0000:00:05.0/itr_debug");
}

}  // namespace
