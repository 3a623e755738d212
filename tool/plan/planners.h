// The planners, one per step kind: strictly read-only (no configuration
// write, no window write, no file or directory made or removed, no process
// started) and silent (what a reader says is held, tool/plan/model.h). The
// real run and p2ptool -n call the same planner, so they share every
// decision; `as_root` false turns what only root can read into "unknown".
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>

#include "common/device/enumeration.h"
#include "common/device/pci_config.h"
#include "common/device/vfio.h"
#include "tool/containers.h"
#include "tool/plan/model.h"

// What "unknown" says to a user other than root.
inline constexpr const char* kRunAsRoot = "run as root";

// A step the run leaves alone for `reason`, its work undone.
inline StepState leftAlone(const std::string& reason) {
  return {Outcome::kLeftAlone, reason, true};
}

// A step only root can tell: unknown to another user, and no work undone.
inline StepState unknownWithoutRoot() { return {Outcome::kUnknown, kRunAsRoot, false}; }

// What discovery read of one GPU (plan_gpus.cc).
struct GpuFacts {
  std::string bdf;
  std::string device;                 // its sysfs device path
  int open_error = 0;                 // errno when its configuration file did not open
  std::optional<ConfigSpace> config;  // nothing when it could not be read
  const Holders* holders = nullptr;   // when it is bound to vfio-pci
};

// Discovery's decision for one GPU: memory decoding and bus mastering on in
// its Command register (other bits kept) and its Power Management control
// word at D0 (No_Soft_Reset as it reads), each written only when it differs;
// nothing for a GPU whose configuration cannot be opened or read or that does
// not answer, or that a running guest holds or may hold unseen (unless
// `force`).
GpuStep planGpuWords(const GpuFacts& facts, bool force, bool as_root);

// A function the enumeration skipped: left alone, undone.
GpuStep skippedGpu(const SkippedFunction& function);

// Discovery planned GPU by GPU (plan_discovery.cc): finds the GPUs (fills
// gpu_bus_path_set; the functions the enumeration skipped, each after a
// message of its own, into `skipped`), opens each one's configuration file
// with `flags` (a GPU whose file opens enters gpu_bus_name_set), plans its
// words with planGpuWords and hands the step with the open descriptor (-1
// when it did not open) to `each`. A GPU left to its guest enters
// gpu_in_use_set, which -w reads. Without root no probe runs.
void planEachGpu(bool force, bool as_root, int flags, std::vector<SkippedFunction>& skipped,
                 const std::function<void(const GpuStep&, int fd)>& each);

// Discovery's plan for every GPU, ascending, with the functions the
// enumeration skipped, read-only: nothing is written and every configuration
// file is opened for reading only. The containers are filled as
// initPCIeDevice fills them. A user other than root gets no probe (setpci
// cannot read the PCI Express capability for such a user) and every GPU's
// step unknown.
std::vector<GpuStep> planDiscovery(bool force, bool as_root);

// The ACS step for each port, ascending (plan_ports.cc): a port that is no
// PCI address is refused; one whose configuration space shows no ACS
// capability is left alone; every other gets acsDisableCommand, its ACS
// Control read now and expected after. One that cannot be read gets the
// command all the same and, as root, is left undone: its ACS Control cannot
// be read back.
std::vector<PortStep> planPorts(const std::set<std::string>& ports, bool as_root);

// -w for every group (plan_tables.cc): a group too large, the members
// planTable leaves out and the members of a group with a collision get no
// table; a member a running guest holds (gpu_in_use_set) is listed in its
// peers' tables but gets none; every other gets buildExchangeArea, written
// unless its window holds that table already.
WritePlan planTables(const GroupMap& groups, const std::set<std::filesystem::path>& devices,
                     bool as_root);

// -r for every GPU (plan_peers.cc): the machine's role (tool/role/), the peer
// configuration directory, the temporary files an interrupted run left there,
// and per GPU the table in its window against its peer file; a file equal to
// the table is left as it is.
ReadPlan planPeerFiles(const std::set<std::filesystem::path>& devices, bool as_root);
