#include "tool/plan/plan.h"

#include <unistd.h>

#include <algorithm>
#include <set>

#include "common/device/board.h"
#include "tool/containers.h"
#include "tool/plan/planners.h"
#include "tool/topology.h"

namespace {

namespace fs = std::filesystem;

constexpr const char* kDropped =
    "left out by the analysis: its board cannot be identified or a port above it is no PCI "
    "address";

bool inAGroup(const GroupMap& groups, const std::string& bdf) {
  return std::any_of(groups.begin(), groups.end(),
                     [&](const auto& group) { return group.second.count(bdf) != 0; });
}

// Whether the GPU's place needs its board: it sits below a switch. Another
// user cannot read the board registers that tell a single-chip board (no
// guess: its place is unknown).
bool placeUnknown(const fs::path& device) {
  if (!isBelowSwitch(device)) return false;
  const BoardRead board = readBoardReadOnly(device.filename().string());
  return board == BoardRead::kNoDeviceId || board == BoardRead::kNoRegisters;
}

// The analysis of the real run, over the GPUs whose place can be told.
void analyse(Plan& plan) {
  std::set<fs::path> devices = gpu_bus_path_set;
  for (const auto& device : gpu_bus_path_set) {
    if (plan.as_root || !placeUnknown(device)) continue;
    const std::string bdf = device.filename().string();
    devices.erase(device);
    gpu_bus_name_set.erase(bdf);
    plan.unplaced[bdf] = unknownWithoutRoot();
  }
  get_phy_mach_data(devices);
  plan.groups = real_host_map;
  plan.ungrouped = ungrouped_gpu_map;
  for (const auto& device : devices) {
    const std::string bdf = device.filename().string();
    if (!inAGroup(plan.groups, bdf) && !plan.ungrouped.count(bdf))
      plan.unplaced[bdf] = leftAlone(kDropped);
  }
}

}  // namespace

Plan makePlan(RunMode mode, bool force) {
  Plan plan;
  plan.mode = mode;
  plan.as_root = ::geteuid() == 0;
  plan.time = ::time(nullptr);
  std::vector<HeldMessage> said;  // by discovery and analysis: for standard error
  {
    HeldMessages held;
    plan.gpus = planDiscovery(force, plan.as_root);
    analyse(plan);
    said = held.take();
  }
  replayMessages(said, stderr);
  switch (mode) {
    case RunMode::kAcs:
      plan.ports = planPorts(acs_need_down_switch_name_set, plan.as_root);
      break;
    case RunMode::kWrite:
      plan.write = planTables(real_host_map, gpu_bus_path_set, plan.as_root);
      break;
    case RunMode::kRead:
      plan.read = planPeerFiles(gpu_bus_path_set, plan.as_root);
      break;
  }
  return plan;
}
