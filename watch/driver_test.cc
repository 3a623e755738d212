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
  const std::vector<std::string> words = {
      "3D00", "3B00",        "36000000000", "3D00", "38000000000", "3E00", "39000000000",
      "3F00", "3A000000000", "4000",        "0"};
  testing::internal::CaptureStdout();
  const GroupPlan plan = planGroupLines(words, "/p", {{"3D00", "0"}, {"3E00", "1"}, {"4000", "2"}});
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error: Peer configuration file /p gives member 4000 the address 0, skipping it\n");
  EXPECT_EQ(plan.lines, (std::vector<std::pair<std::string, std::string>>{{"0", "38000000000"},
                                                                          {"1", "39000000000"}}));
  EXPECT_EQ(plan.left_out, (std::vector<std::string>{"3B00", "3F00"}));
  EXPECT_TRUE(plan.contested.empty());
  // 3E00 is named as their own by two files: it has no minor to send.
  testing::internal::CaptureStdout();
  const GroupPlan contested = planGroupLines(words, "/p", {{"3D00", "0"}}, {"3E00"});
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(contested.lines,
            (std::vector<std::pair<std::string, std::string>>{{"0", "38000000000"}}));
  EXPECT_EQ(contested.contested, (std::vector<std::string>{"3E00"}));
  EXPECT_EQ(contested.left_out, (std::vector<std::string>{"3B00", "3F00"}));
}

TEST(DriverCommandTest, CommandTextKeepsTwoBlanksBeforeTheAddress) {
  EXPECT_EQ(ptP2pCfgCommand("0", "38000000000", itrDebugFile("0000:00:05.0")),
            "echo pt_p2p_cfg 0  38000000000 > "
            "/sys/bus/pci/drivers/tamberon/0000:00:05.0/itr_debug");
}

}  // namespace
