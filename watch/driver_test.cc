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
  // A member the guest does not know has no minor: keyword and address only.
  EXPECT_EQ(lineReceived("", "39000000000"), "pt_p2p_cfg 39000000000\n");
}

TEST(DriverCommandTest, CommandTextKeepsTwoBlanksBeforeTheAddress) {
  EXPECT_EQ(ptP2pCfgCommand("0", "38000000000", itrDebugFile("0000:00:05.0")),
            "echo pt_p2p_cfg 0  38000000000 > "
            "/sys/bus/pci/drivers/tamberon/0000:00:05.0/itr_debug");
}

}  // namespace
