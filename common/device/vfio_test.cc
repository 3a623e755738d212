#include "common/device/vfio.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <optional>
#include <string>

#include "common/util/test_boxed_run.h"
#include "tests/sim/guest_process.h"

namespace {

constexpr char kGpu[] = "0000:3b:00.0";
constexpr uid_t kNobody = 65534;

// A GPU below a root port, bound to vfio-pci in IOMMU group 12; /dev/vfio/12
// lies in a scratch /dev.
class VfioTest : public testing::Test {
 protected:
  void SetUp() override {
    P2P_REQUIRE_SANDBOX();
    tree_.fabric.addGpuBelowRootPort("pci0000:3a", "0000:3a:00.0", kGpu);
    node_ = tree_.fabric.bindVfio(kGpu, 12, dev_.path());
  }

  // tenantList(gpuTenants(kGpu)) inside the sandbox, as `uid`.
  std::string tenants(uid_t uid = 0) {
    sim::Sandbox box = tree_.box();
    box.dev = dev_.path();
    box.uid = box.gid = uid;
    // Printed: an unprivileged child cannot leave a result file in root's scratch directory.
    const BoxedRun run = runBoxed(box, [] {
      printf("%s", tenantList(gpuTenants(kGpu)).c_str());
      return std::string();
    });
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
  }

  FabricBox tree_;
  sim::TempDir dev_{"p2p-dev"};
  std::string node_;
};

TEST_F(VfioTest, TheProcessesHoldingTheGroupOpenInPidOrder) {
  EXPECT_EQ(tenants(), "");  // bound, but no guest runs
  std::optional<sim::GuestProcess> first(std::in_place, node_);
  const sim::GuestProcess second(node_, "qemu-kvm");
  EXPECT_EQ(tenants(), std::to_string(first->pid()) + " qemu-system-x86, " +
                           std::to_string(second.pid()) + " qemu-kvm");
  first.reset();
  EXPECT_EQ(tenants(), std::to_string(second.pid()) + " qemu-kvm");
  tree_.fabric.bindDriver(kGpu, "0", false);  // the driver link now names tamberon
  EXPECT_EQ(tenants(), "");
}

TEST_F(VfioTest, GpusOfOneIommuGroupShareItsTenantsInOneWalk) {
  tree_.fabric.addGpuBelowRootPort("pci0000:3a", "0000:3a:04.0", "0000:3c:00.0");
  tree_.fabric.addGpuBelowRootPort("pci0000:3a", "0000:3a:08.0", "0000:3d:00.0");
  tree_.fabric.bindVfio("0000:3c:00.0", 12, dev_.path());
  tree_.fabric.bindVfio("0000:3d:00.0", 13, dev_.path());  // no guest
  const sim::GuestProcess guest(node_);
  sim::Sandbox box = tree_.box();
  box.dev = dev_.path();
  const BoxedRun run = runBoxed(box, [] {
    std::string text;
    for (const auto& [bdf, tenants] :
         gpuTenants(std::vector<std::string>{kGpu, "0000:3c:00.0", "0000:3d:00.0"}))
      text += bdf + ": " + tenantList(tenants) + "\n";
    return text;
  });
  const std::string holder = std::to_string(guest.pid()) + " qemu-system-x86\n";
  EXPECT_EQ(run.result, "0000:3b:00.0: " + holder + "0000:3c:00.0: " + holder) << run.err;
}

TEST_F(VfioTest, ProcessesWhoseDescriptorsCannotBeReadAreSkipped) {
  ASSERT_EQ(chmod(dev_.path().c_str(), 0755), 0);
  const sim::GuestProcess roots(node_);  // another user cannot list its descriptors
  const sim::GuestProcess own(node_, "qemu-kvm", kNobody);
  EXPECT_EQ(tenants(kNobody), std::to_string(own.pid()) + " qemu-kvm");
}

}  // namespace
