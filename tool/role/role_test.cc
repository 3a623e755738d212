#include "tool/role/role.h"

#include <gtest/gtest.h>

#include "tool/role/evidence.h"

namespace {

GpuSign sign(const char* bdf, Seat seat, Naming naming, uint32_t named = 0) {
  return {bdf, seat, naming, named};
}

// A guest's GPUs (a table naming another address, a root bus) or a host's
// (below switches, their own table or none); the CPU only when none of them
// tells, or both kinds do.
TEST(RoleTest, TheGpusDecideBeforeTheCpu) {
  const CpuSign flag{true, ""}, no_flag{false, ""}, unread{std::nullopt, "/proc/cpuinfo: missing"};
  const GpuSign own = sign("0000:3d:00.0", Seat::kBelowSwitch, Naming::kItself);
  const GpuSign none = sign("0000:3e:00.0", Seat::kBelowSwitch, Naming::kNoTable);
  const GpuSign other = sign("0000:01:00.0", Seat::kBelowRootPort, Naming::kOther, 0x1c00);
  const GpuSign root_bus = sign("0000:00:05.0", Seat::kRootBus, Naming::kNoTable);
  const GpuSign unknown = sign("0000:60:00.0", Seat::kBelowSwitch, Naming::kUnknown);
  const GpuSign q35_empty = sign("0000:02:00.0", Seat::kBelowRootPort, Naming::kNoTable);
  const GpuSign q35_self = sign("0000:03:00.0", Seat::kBelowRootPort, Naming::kItself);
  const struct {
    std::vector<GpuSign> gpus;
    CpuSign cpu;
    Role role;
    const char* evidence;
  } rows[] = {
      {{q35_empty, other},
       no_flag,
       Role::kGuest,
       "the exchange table of guest 0000:01:00.0 names host 0000:1c:00.0"},
      {{unknown, root_bus}, no_flag, Role::kGuest, "GPUs on the root bus"},
      {{unknown, none},
       flag,
       Role::kHost,
       "GPUs below switches whose tables name themselves or hold none"},
      {{own, other}, flag, Role::kGuest, "the GPUs disagree; the CPU has the hypervisor flag"},
      {{root_bus, own}, no_flag, Role::kHost, "the GPUs disagree; the CPU has no hypervisor flag"},
      {{unknown, q35_empty, q35_self},
       flag,
       Role::kGuest,
       "no GPU tells; the CPU has the hypervisor flag"},
      {{q35_empty}, no_flag, Role::kHost, "no GPU tells; the CPU has no hypervisor flag"},
      {{},
       unread,
       Role::kHost,
       "no GPU tells; the CPU's flags cannot be read (/proc/cpuinfo: missing): taken for a "
       "host"},
  };
  for (const auto& row : rows) {
    const RoleDecision decision = decideRole(row.gpus, row.cpu);
    EXPECT_EQ(decision.role, row.role) << row.evidence;
    EXPECT_EQ(roleEvidence(decision), row.evidence);
    EXPECT_EQ(decision.known(), row.cpu.hypervisor.has_value());
  }
  EXPECT_EQ(roleEvidence(givenRole(Role::kGuest)), "--guest given");
}

TEST(RoleTest, OnlyAFlagsLineNamingHypervisorSetsTheFlag) {
  EXPECT_TRUE(hasHypervisorFlag("processor\t: 0\nflags\t\t: fpu vme hypervisor lahf_lm\n"));
  EXPECT_TRUE(hasHypervisorFlag("flags: hypervisor"));
  EXPECT_FALSE(hasHypervisorFlag("flags\t\t: fpu vme\nbugs\t\t: hypervisor\n"));
  EXPECT_FALSE(hasHypervisorFlag("flags\t\t: fpu hypervisor_x\n"));
  EXPECT_FALSE(hasHypervisorFlag("vmx flags\t: hypervisor\n"));
  EXPECT_FALSE(hasHypervisorFlag("flagsets\t: hypervisor\n"));
  EXPECT_FALSE(hasHypervisorFlag(""));
}

TEST(RoleTest, PackedNumbersAreDecodedAsHostAddresses) {
  EXPECT_EQ(packedWithHost(0x3d00), "0x00003d00 (host 0000:3d:00.0)");
  EXPECT_EQ(packedWithHost(0xffffffe7), "0xffffffe7 (host ffff:ff:07.7)");
  EXPECT_EQ(packedWithHost(0x3d08), "0x00003d08 (no PCI address)");
  EXPECT_EQ(sideAddress(Role::kGuest, "0000:00:05.0"), "guest 0000:00:05.0");
}

}  // namespace
