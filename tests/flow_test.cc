// The whole address exchange: p2ptool on the host (default run, then -w), the
// GPUs passed through to a guest, p2ptool -r there, p2pwatch programming the
// guest's driver when its device node appears.
#include "tests/sim/presets.h"
#include "tests/system_fixture.h"

namespace {

using systest::Daemon;
using systest::eventually;

using FlowTest = systest::PresetTest;

TEST_F(FlowTest, EveryGuestGpuLearnsTheHostAddressOfEveryGroupMember) {
  ASSERT_EQ(tool({}).status, 0);
  EXPECT_EQ(host_.acsControl("0000:3c:08.0"), 0x0011);
  ASSERT_EQ(tool({"-w"}).status, 0);
  const sim::Result read = tool({"-r"}, guest_);
  ASSERT_EQ(read.status, 0) << read.out;

  // The daemon starts at boot, before the driver binds the guest GPUs with
  // minors 0, 1, ... in guest order.
  sim::Sandbox box = box_;
  box.sys = guest_.sysDir();
  Daemon watch(box, {systest::kP2pwatch});
  ASSERT_TRUE(eventually([&] { return watch.watching(); }));
  std::map<std::string, std::string> minor_of_host;  // host GPU -> guest minor
  for (size_t i = 0; i < pairs_.size(); ++i) {
    guest_.bindDriver(pairs_[i].first, std::to_string(i));
    minor_of_host[pairs_[i].second] = std::to_string(i);
  }
  std::ofstream(dev_ / "tamberon_ctl") << "";
  ASSERT_TRUE(eventually([&] { return watch.outLines() >= pairs_.size(); })) << watch.out();

  // Host groups: the switches' GPUs and the dual-chip board's two chips.
  const std::vector<std::vector<std::string>> groups = {
      {"0000:3d:00.0", "0000:3e:00.0"},
      {"0000:60:00.0", "0000:61:00.0"},
      {"0000:1c:00.0", "0000:1d:00.0"},
  };
  for (const auto& [guest_gpu, host_gpu] : pairs_) {
    std::vector<std::string> expected;
    for (const auto& group : groups) {
      if (std::find(group.begin(), group.end(), host_gpu) == group.end()) continue;
      for (const auto& member : group) {
        char address[32];
        snprintf(address, sizeof address, "%llX",
                 static_cast<unsigned long long>(host_.bar0(member)));
        expected.push_back("pt_p2p_cfg " + minor_of_host[member] + " " + address);
      }
    }
    ASSERT_EQ(expected.size(), 2u) << host_gpu;
    EXPECT_TRUE(eventually([&] { return guest_.itrDebugLines(guest_gpu).size() >= 2; }));
    EXPECT_EQ(guest_.itrDebugLines(guest_gpu), expected) << guest_gpu;
  }
  EXPECT_EQ(watch.err(), "");
}

}  // namespace
