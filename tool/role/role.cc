#include "tool/role/role.h"

#include <algorithm>

#include "common/device/pci_address.h"
#include "common/util/convert.h"

namespace {

constexpr int kPackedDigits = 8;
constexpr uint64_t kUnpackedBits = 0x18;  // between function and device: no packing sets them

RoleDecision decided(Role role, Basis basis) {
  RoleDecision decision;
  decision.role = role;
  decision.basis = basis;
  return decision;
}

// A guest's GPU: its table names another address, or it hangs on a root bus.
bool guestSign(const GpuSign& gpu) {
  return gpu.naming == Naming::kOther || gpu.seat == Seat::kRootBus;
}

// A host's GPU: below switches, its table names itself or there is none.
bool hostSign(const GpuSign& gpu) {
  return gpu.seat == Seat::kBelowSwitch &&
         (gpu.naming == Naming::kItself || gpu.naming == Naming::kNoTable);
}

RoleDecision byCpu(const CpuSign& cpu, bool disagree) {
  RoleDecision decision;
  if (!cpu.hypervisor) {
    decision = decided(Role::kHost, Basis::kNothing);
    decision.reason = cpu.reason;
  } else {
    decision = *cpu.hypervisor ? decided(Role::kGuest, Basis::kHypervisorFlag)
                               : decided(Role::kHost, Basis::kNoHypervisorFlag);
  }
  decision.disagree = disagree;
  return decision;
}

RoleDecision byGuestGpus(const std::vector<GpuSign>& gpus) {
  const auto other = std::find_if(gpus.begin(), gpus.end(),
                                  [](const GpuSign& gpu) { return gpu.naming == Naming::kOther; });
  if (other == gpus.end()) return decided(Role::kGuest, Basis::kRootBus);
  RoleDecision decision = decided(Role::kGuest, Basis::kTableNamesOther);
  decision.gpu = other->bdf;
  decision.named = other->named;
  return decision;
}

// Why the GPUs leave the role to the CPU.
std::string gpus(const RoleDecision& decision) {
  return decision.disagree ? "the GPUs disagree" : "no GPU tells";
}

}  // namespace

const char* roleName(Role role) { return role == Role::kGuest ? "guest" : "host"; }

RoleDecision decideRole(const std::vector<GpuSign>& gpus, const CpuSign& cpu) {
  const bool guest = std::any_of(gpus.begin(), gpus.end(), guestSign);
  const bool host = std::any_of(gpus.begin(), gpus.end(), hostSign);
  if (guest && !host) return byGuestGpus(gpus);
  if (host && !guest) return decided(Role::kHost, Basis::kBelowSwitches);
  return byCpu(cpu, guest && host);
}

RoleDecision givenRole(Role role) { return decided(role, Basis::kGiven); }

std::string roleEvidence(const RoleDecision& decision) {
  switch (decision.basis) {
    case Basis::kGiven:
      return std::string("--") + roleName(decision.role) + " given";
    case Basis::kTableNamesOther: {
      const auto named = addressOfPacked(decision.named);
      return "the exchange table of " + sideAddress(Role::kGuest, decision.gpu) + " names " +
             (named ? sideAddress(Role::kHost, *named) : packedWithHost(decision.named));
    }
    case Basis::kRootBus:
      return "GPUs on the root bus";
    case Basis::kBelowSwitches:
      return "GPUs below switches whose tables name themselves or hold none";
    case Basis::kHypervisorFlag:
      return gpus(decision) + "; the CPU has the hypervisor flag";
    case Basis::kNoHypervisorFlag:
      return gpus(decision) + "; the CPU has no hypervisor flag";
    case Basis::kNothing:
      break;
  }
  return gpus(decision) + "; the CPU's flags cannot be read (" + decision.reason +
         "): taken for a host";
}

std::string sideAddress(Role role, const std::string& bdf) {
  return std::string(roleName(role)) + " " + bdf;
}

std::optional<std::string> addressOfPacked(uint64_t packed) {
  if (packed & kUnpackedBits) return std::nullopt;
  return pciAddressOfPacked(packed);
}

std::string packedWithHost(uint64_t packed) {
  const auto address = addressOfPacked(packed);
  return hexNumber(packed, kPackedDigits) + " (" +
         (address ? sideAddress(Role::kHost, *address) : "no PCI address") + ")";
}
