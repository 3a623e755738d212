#include "tool/report/pairs.h"

#include <gtest/gtest.h>

namespace {

// Two GPUs below the downstream ports 0000:02:00.0 and 0000:02:01.0 of one
// switch; the groups' scan read the first.
TEST(ReportPairs, APortTheGroupsReadIsNotReadAgain) {
  const std::string below = "/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0/";
  const std::map<std::string, std::filesystem::path> paths = {
      {"0000:03:00.0", below + "0000:02:00.0/0000:03:00.0"},
      {"0000:04:00.0", below + "0000:02:01.0/0000:04:00.0"}};
  HostStatus host;
  host.gpus.resize(2);
  host.gpus[0].bdf = "0000:03:00.0";
  host.gpus[1].bdf = "0000:04:00.0";
  host.ports.push_back({"0000:02:00.0", PortState::kAcs, 0x1d, ""});
  std::vector<std::string> read;
  const auto pairs = pairStatus(host, paths, [&](const std::string& port) {
    read.push_back(port);
    return PortStatus{port, PortState::kNoAcs, 0, ""};
  });
  ASSERT_EQ(pairs.size(), 1u);
  ASSERT_EQ(pairs[0].ports.size(), 2u);
  EXPECT_EQ(pairs[0].ports[0].status.acs_control, 0x1d);
  EXPECT_EQ(read, std::vector<std::string>{"0000:02:01.0"});
}

}  // namespace
