#include "common/device/vfio.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/util/test_boxed_run.h"
#include "tests/sim/guest_process.h"
#include "tests/sim/pid_space.h"

namespace {

constexpr char kGpu[] = "0000:3b:00.0";
constexpr uid_t kNobody = 65534;

// A GPU below a root port, bound to vfio-pci in IOMMU group 12, its nodes in
// a scratch /dev; the holders run in a PID namespace of the test's.
class VfioTest : public testing::Test {
 protected:
  void SetUp() override {
    P2P_REQUIRE_SANDBOX();
    tree_.fabric.addGpuBelowRootPort("pci0000:3a", "0000:3a:00.0", kGpu);
    node_ = tree_.fabric.bindVfio(kGpu, 12, dev_.path());
  }

  // "BDF: tenants; hidden" per GPU gpuHolders() names, inside the sandbox, as `uid`.
  std::string holders(uid_t uid = 0, const std::vector<std::string>& bdfs = {kGpu}) {
    sim::Sandbox box = tree_.box();
    box.dev = dev_.path();
    box.pids = pids_.ns();
    box.uid = box.gid = uid;
    // Printed: an unprivileged child cannot leave a result file in root's scratch directory.
    const BoxedRun run = runBoxed(box, [&bdfs] {
      for (const auto& [bdf, found] : gpuHolders(bdfs))
        printf("%s: %s; %s\n", bdf.c_str(), tenantList(found.tenants).c_str(),
               found.hidden.c_str());
      return std::string();
    });
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
  }

  FabricBox tree_;
  sim::TempDir dev_{"p2p-dev"};
  sim::PidSpace pids_;
  std::string node_;
};

TEST_F(VfioTest, TheProcessesHoldingTheGroupOrTheDeviceInPidOrder) {
  EXPECT_EQ(holders(), "0000:3b:00.0: ; \n");  // bound, but no guest runs
  std::optional<sim::GuestProcess> first(std::in_place, node_, "qemu-system-x86", 0, pids_.ns());
  const sim::GuestProcess second(tree_.fabric.vfioDeviceNode(kGpu, dev_.path()), "qemu-kvm", 0,
                                 pids_.ns());
  EXPECT_EQ(holders(), "0000:3b:00.0: " + std::to_string(first->pid()) + " qemu-system-x86, " +
                           std::to_string(second.pid()) + " qemu-kvm; \n");
  first.reset();
  EXPECT_EQ(holders(), "0000:3b:00.0: " + std::to_string(second.pid()) + " qemu-kvm; \n");
  tree_.fabric.bindDriver(kGpu, "0", false);  // the driver link now names tamberon
  EXPECT_EQ(holders(), "");
}

TEST_F(VfioTest, GpusOfOneIommuGroupShareItsTenantsInOneWalk) {
  tree_.fabric.addGpuBelowRootPort("pci0000:3a", "0000:3a:04.0", "0000:3c:00.0");
  tree_.fabric.addGpuBelowRootPort("pci0000:3a", "0000:3a:08.0", "0000:3d:00.0");
  tree_.fabric.bindVfio("0000:3c:00.0", 12, dev_.path());
  tree_.fabric.bindVfio("0000:3d:00.0", 13, dev_.path());  // no guest
  const sim::GuestProcess guest(node_, sim::kGuestProcessName, 0, pids_.ns());
  const std::string holder = std::to_string(guest.pid()) + " qemu-system-x86; \n";
  EXPECT_EQ(holders(0, {kGpu, "0000:3c:00.0", "0000:3d:00.0"}),
            "0000:3b:00.0: " + holder + "0000:3c:00.0: " + holder + "0000:3d:00.0: ; \n");
}

// Another user's descriptors cannot be listed, those of root's processes with
// capabilities the caller lacks cannot be stat()ed: either may hold the GPU.
TEST_F(VfioTest, ProcessesWhoseDescriptorsCannotBeReadAreNamed) {
  ASSERT_EQ(chmod(dev_.path().c_str(), 0755), 0);
  const sim::GuestProcess own(node_, "qemu-kvm", kNobody, pids_.ns());
  std::vector<std::unique_ptr<sim::GuestProcess>> roots;
  for (int i = 0; i < 8; ++i)
    roots.push_back(
        std::make_unique<sim::GuestProcess>(node_, sim::kGuestProcessName, 0, pids_.ns()));
  // The namespace's init (PID 1) and root's 8 holders: the first 8 are named.
  std::string hidden = "descriptors of 9 processes unreadable: 1";
  for (int i = 0; i < 7; ++i) hidden += ", " + std::to_string(roots[i]->pid());
  EXPECT_EQ(holders(kNobody), "0000:3b:00.0: " + std::to_string(own.pid()) + " qemu-kvm; " +
                                  hidden + " and 1 more\n");
  std::filesystem::remove_all(tree_.fabric.dir(kGpu) + "/vfio-dev");
  std::filesystem::remove_all(tree_.fabric.sysDir() + "/class/vfio/12");
  EXPECT_EQ(holders(), "0000:3b:00.0: ; no VFIO group or device in sysfs\n");
}

}  // namespace
