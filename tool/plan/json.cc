// The plan as one JSON document, by the rules of p2ptool -s --json: words,
// addresses and packed numbers as hexadecimal strings, counts as numbers,
// bytes that are not UTF-8 as U+FFFD.
#include <nlohmann/json.hpp>

#include "common/device/pci_config.h"
#include "common/util/convert.h"
#include "tool/document.h"
#include "tool/plan/render.h"

namespace {

using nlohmann::json;

constexpr int kWordDigits = 4;
constexpr int kAddressDigits = 16;
constexpr int kPackedDigits = 8;

// The members every step has.
json stateJson(const StepState& state) {
  return {{"outcome", outcomeName(state.outcome)},
          {"reason", orNull(!state.reason.empty(), state.reason)},
          {"undone", state.undone}};
}

json wordJson(const std::optional<WordStep>& word, bool known) {
  if (!word) return json();
  return {{"offset", hexNumber(word->offset, 2)},
          {"before", hexNumber(word->before, kWordDigits)},
          {"after", orNull(known, hexNumber(word->after, kWordDigits))}};
}

json gpuJson(const GpuStep& step) {
  const bool known = step.state.outcome != Outcome::kUnknown;
  json out = stateJson(step.state);
  out.update({{"bdf", step.bdf},
              {"command", wordJson(step.command, known)},
              {"power", wordJson(step.power, known)},
              {"tenants", step.holders ? tenantsJson(step.holders->tenants) : json::array()},
              {"forced", step.forced}});
  return out;
}

json acsJson(const std::optional<uint16_t>& control) {
  return {{"word", orNull(control.has_value(), hexNumber(control.value_or(0), kWordDigits))},
          {"decoded", orNull(control.has_value(), decodeAcsControl(control.value_or(0)))}};
}

json portJson(const PortStep& step) {
  json out = stateJson(step.state);
  const bool planned = step.before.has_value();
  out.update({{"port", step.port},
              {"before", acsJson(step.before)},
              {"after", acsJson(planned ? std::optional<uint16_t>(step.after) : std::nullopt)},
              {"command", orNull(!step.command.empty(), step.command)}});
  return out;
}

json membersJson(const BarMap& members) {
  json list = json::array();
  for (const auto& [bdf, bar0] : members)
    list.push_back({{"bdf", bdf}, {"bar0", hexNumber(bar0, kAddressDigits)}});
  return list;
}

json tableJson(const GroupStep& group, const TableStep& step) {
  json out = stateJson(step.state);
  const bool planned = !step.table.empty();
  out.update({{"gpu", step.gpu},
              {"group", group.key},
              {"now", orNull(planned, tableNowName(step.now))},
              {"now_reason", orNull(!step.now_reason.empty(), step.now_reason)},
              {"members", orNull(planned, membersJson(step.members))},
              {"words", orNull(planned, hexWords(step.table))}});
  return out;
}

json writeJson(const WritePlan& plan) {
  json tables = json::array(), ungrouped = json::array();
  for (const GroupStep& group : plan.groups)
    for (const TableStep& step : group.tables) tables.push_back(tableJson(group, step));
  for (const auto& [bdf, where] : plan.ungrouped)
    ungrouped.push_back({{"bdf", bdf}, {"where", where}});
  return {{"tables", tables}, {"ungrouped", ungrouped}};
}

json peerJson(const PeerStep& step) {
  json out = stateJson(step.state);
  const bool table = step.open_error == 0 && step.area.state == AreaState::kTable;
  out.update(
      {{"gpu", step.gpu},
       {"path", step.path},
       {"now", orNull(table, peerNowName(step.file))},
       {"self", orNull(table, hexNumber(areaSelf(table ? step.area.words[0] : 0), kPackedDigits))},
       {"self_host_bdf",
        table ? optionalJson(addressOfPacked(areaSelf(step.area.words[0]))) : json()},
       {"words", orNull(table, hexWords(step.area.words))}});
  return out;
}

const char* dirName(DirNow dir) {
  switch (dir) {
    case DirNow::kThere:
      return "there";
    case DirNow::kMade:
      return "made";
    case DirNow::kCannot:
      break;
  }
  return "cannot be made";
}

json readJson(const ReadPlan& plan) {
  json files = json::array();
  for (const PeerStep& step : plan.files) files.push_back(peerJson(step));
  return {{"role", roleName(plan.role.role)},
          {"role_evidence", roleEvidence(plan.role)},
          {"directory", kPeerConfigDir},
          {"directory_state", dirName(plan.dir)},
          {"directory_reason", orNull(!plan.dir_reason.empty(), plan.dir_reason)},
          {"leftovers", plan.leftovers},
          {"files", files}};
}

const char* modeName(RunMode mode) {
  switch (mode) {
    case RunMode::kAcs:
      return "acs";
    case RunMode::kWrite:
      return "write";
    case RunMode::kRead:
      break;
  }
  return "read";
}

json analysisJson(const Plan& plan) {
  json groups = json::array(), ungrouped = json::array(), unplaced = json::array();
  for (const auto& [key, members] : plan.groups)
    groups.push_back({{"key", key}, {"members", membersJson(members)}});
  for (const auto& [bdf, where] : plan.ungrouped)
    ungrouped.push_back({{"bdf", bdf}, {"where", where}});
  for (const auto& [bdf, state] : plan.unplaced) {
    json item = stateJson(state);
    item["bdf"] = bdf;
    unplaced.push_back(item);
  }
  return {{"groups", groups}, {"ungrouped", ungrouped}, {"unplaced", unplaced}};
}

}  // namespace

std::string planJson(const Plan& plan) {
  json out = documentHeader("plan", plan.time);
  json gpus = json::array(), ports = json::array();
  for (const GpuStep& step : plan.gpus) gpus.push_back(gpuJson(step));
  for (const PortStep& step : plan.ports) ports.push_back(portJson(step));
  out.update({{"mode", modeName(plan.mode)},
              {"as_root", plan.as_root},
              {"changes", changeCount(plan)},
              {"leaves_undone", leavesUndone(plan)},
              {"exit_status", planExitStatus(plan)},
              {"gpus", gpus},
              {"analysis", analysisJson(plan)},
              {"ports", orNull(plan.mode == RunMode::kAcs, ports)},
              {"write", plan.write ? writeJson(*plan.write) : json()},
              {"read", plan.read ? readJson(*plan.read) : json()}});
  return documentText(out);
}
