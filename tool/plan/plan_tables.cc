// -w's step for every group: the table each member's window gets.
#include "common/util/convert.h"
#include "tool/plan/planners.h"
#include "tool/window_table.h"

namespace {

StepState leftOut(const std::string& reason) { return {Outcome::kLeftAlone, reason, true}; }

std::string leftOutReason(const LeftOut& gpu, const BarMap& members) {
  switch (gpu.reason) {
    case LeftOutReason::kUnassignedBar0:
      return "BAR0 reads " + hexNumber(members.at(gpu.bdf)) + ", not an assigned address";
    case LeftOutReason::kTooWide:
      return "its PCI address does not fit the 32-bit self field";
    case LeftOutReason::kSamePacked:
      break;
  }
  return "no table for its group: " + gpu.other + " and " + gpu.bdf + " both pack to " +
         hexNumber(gpu.packed);
}

// What the window holds against `table`; kUnknown when it cannot be read.
TableNow compare(const WindowTable& window, const std::vector<unsigned long>& table) {
  switch (matchTable(window, table)) {
    case TableMatch::kCurrent:
      return TableNow::kCurrent;
    case TableMatch::kStale:
      return TableNow::kStale;
    case TableMatch::kMissing:
      return TableNow::kMissing;
    case TableMatch::kMalformed:
      return TableNow::kMalformed;
    case TableMatch::kUnreadable:
      break;
  }
  return TableNow::kUnknown;
}

TableStep planMember(const std::string& gpu, const BarMap& members, bool as_root) {
  TableStep step;
  step.gpu = gpu;
  if (gpu_in_use_set.count(gpu)) {
    step.state = as_root ? leftOut(
                               "in use by a running guest: listed in its peers' tables, "
                               "no byte written to it")
                         : StepState{Outcome::kUnknown, kRunAsRoot, false};
    return step;
  }
  step.table = buildExchangeArea(gpu, members);
  step.members = members;
  WindowTable window;
  {
    HeldMessages quiet;  // what -w says of a window it cannot map, it says when writing
    window = readWindowTable(gpu);
  }
  step.now = compare(window, step.table);
  if (step.now == TableNow::kUnknown) step.now_reason = as_root ? window.reason : kRunAsRoot;
  if (step.now == TableNow::kCurrent)
    step.state.outcome = Outcome::kUnchanged;
  else if (step.now == TableNow::kUnknown && !as_root)
    step.state = {Outcome::kUnknown, kRunAsRoot, false};
  else
    step.state.outcome = Outcome::kChange;
  return step;
}

GroupStep planGroup(const std::string& key, const BarMap& members,
                    const std::set<std::filesystem::path>& devices, bool as_root) {
  const TablePlan table = planGroupTable(members);
  GroupStep group{key, members, table.too_large, table.left_out, table.collision, {}};
  for (const auto& member : members) {
    const auto device = findDevicePath(devices, member.first);
    if (!device) continue;  // not found: never placed in a group
    const LeftOut* out = table.whyNoTable(member.first);
    TableStep step;
    step.gpu = member.first;
    if (group.too_large)
      step.state =
          leftOut("its group has " + std::to_string(members.size()) + " GPUs, more than the " +
                  std::to_string(kMaxGroupSize) + " an exchange area holds");
    else if (out)
      step.state = leftOut(leftOutReason(*out, members));
    else
      step = planMember(member.first, table.members, as_root);
    step.device = device->string();
    group.tables.push_back(std::move(step));
  }
  return group;
}

}  // namespace

WritePlan planTables(const GroupMap& groups, const std::set<std::filesystem::path>& devices,
                     bool as_root) {
  WritePlan plan;
  plan.ungrouped = ungrouped_gpu_map;
  for (const auto& [key, members] : groups)
    plan.groups.push_back(planGroup(key, members, devices, as_root));
  return plan;
}
