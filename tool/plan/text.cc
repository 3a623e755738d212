// The plan as text lines: a heading, the GPUs, the analysis, the mode's step,
// a closing line with the count of changes and of items left undone.
#include <algorithm>

#include "common/device/exchange_area.h"
#include "common/device/pci_config.h"
#include "common/util/convert.h"
#include "tool/plan/render.h"

namespace {

constexpr int kWordDigits = 4;
constexpr const char* kIndent = "  ";
constexpr const char* kUndone = "; left undone";

class Lines {
 public:
  void info(const std::string& text, bool warning = false) {
    lines_.push_back({warning ? Priority::kWarning : Priority::kInfo, text});
  }
  // An item: a warning when it leaves work undone.
  void item(const std::string& text, const StepState& state) {
    lines_.push_back({state.undone ? Priority::kWarning : Priority::kInfo,
                      kIndent + text + (state.undone ? kUndone : "")});
  }
  std::vector<PlanLine> take() { return std::move(lines_); }

 private:
  std::vector<PlanLine> lines_;
};

std::string hex(uint64_t value, int digits = kWordDigits) { return hexNumber(value, digits); }

const char* heading(RunMode mode) {
  switch (mode) {
    case RunMode::kAcs:
      return "Plan of p2ptool: ACS redirection off on the switch ports above the GPUs";
    case RunMode::kWrite:
      return "Plan of p2ptool -w: each grouped GPU's exchange table into its memory";
    case RunMode::kRead:
      break;
  }
  return "Plan of p2ptool -r: each GPU's exchange table into its peer file";
}

// "left alone: why", "unknown (why)": a step that changes nothing for a reason.
std::string notDone(const StepState& state) {
  if (state.outcome == Outcome::kUnknown) return "unknown (" + state.reason + ")";
  return "left alone: " + state.reason;
}

std::string wordText(const char* name, const WordStep& word, bool known) {
  if (!known) return std::string(name) + " " + hex(word.before) + " now";
  if (!word.changes()) return std::string(name) + " " + hex(word.before) + " unchanged";
  return std::string(name) + " " + hex(word.before) + " -> " + hex(word.after);
}

std::string gpuText(const GpuStep& step) {
  const Outcome outcome = step.state.outcome;
  if (outcome == Outcome::kLeftAlone) return step.bdf + ": " + notDone(step.state);
  const bool known = outcome != Outcome::kUnknown;
  std::vector<std::string> parts;
  if (step.command) parts.push_back(wordText("Command", *step.command, known));
  if (step.power)
    parts.push_back(wordText("Power Management control", *step.power, known));
  else if (known)
    parts.push_back("no Power Management capability");
  std::string text = step.bdf + ": ";
  if (!known) text += notDone(step.state) + (parts.empty() ? "" : ": ");
  for (size_t i = 0; i < parts.size(); ++i) text += (i ? ", " : "") + parts[i];
  if (step.forced) text += " (" + step.state.reason + ")";
  return text;
}

void gpuLines(const Plan& plan, Lines& out) {
  out.info("GPUs:");
  for (const GpuStep& step : plan.gpus) out.item(gpuText(step), step.state);
}

void analysisLines(const Plan& plan, Lines& out) {
  if (!plan.groups.empty()) out.info("Groups:");
  for (const auto& [key, members] : plan.groups) {
    std::string text = key + ":";
    for (const auto& member : members) text += " " + member.first;
    out.item(text, {});
  }
  if (plan.ungrouped.empty() && plan.unplaced.empty()) return;
  out.info("In no group:");
  for (const auto& [bdf, where] : plan.ungrouped) out.item(bdf + ": sits " + where, {});
  for (const auto& [bdf, state] : plan.unplaced)
    out.item(bdf + (state.outcome == Outcome::kUnknown ? ": place " : ": ") + notDone(state),
             state);
}

std::string portText(const PortStep& step) {
  const std::string head = step.port + ": ACS Control ";
  switch (step.state.outcome) {
    case Outcome::kChange:
      return head + hex(*step.before) + " -> " + hex(step.after) + ": " +
             decodeAcsControl(*step.before) + " -> " + decodeAcsControl(step.after);
    case Outcome::kUnchanged:
      return head + hex(*step.before) + " unchanged: " + decodeAcsControl(*step.before);
    case Outcome::kUnknown:
      return head + notDone(step.state) + ", the command runs all the same";
    case Outcome::kLeftAlone:
      break;
  }
  return step.port + ": " + notDone(step.state);
}

void portLines(const Plan& plan, Lines& out) {
  out.info("Ports:");
  for (const PortStep& step : plan.ports) {
    out.item(portText(step), step.state);
    if (!step.command.empty()) out.info(std::string(kIndent) + kIndent + "runs: " + step.command);
  }
}

std::string membersText(const BarMap& members) {
  std::string text;
  for (const auto& [bdf, bar0] : members)
    text += (text.empty() ? "" : ", ") + bdf + " (BAR0 " + hex(bar0, 0) + ")";
  return text;
}

std::string tableText(const TableStep& step) {
  switch (step.state.outcome) {
    case Outcome::kChange:
      return step.gpu + ": " + tableNowName(step.now) +
             (step.now == TableNow::kUnknown ? " (" + step.now_reason + ")" : "") +
             " -> written: " + membersText(step.members);
    case Outcome::kUnchanged:
      return step.gpu + ": current, unchanged: " + membersText(step.members);
    case Outcome::kLeftAlone:
    case Outcome::kUnknown:
      break;
  }
  return step.gpu + ": " + notDone(step.state);
}

void tableLines(const WritePlan& plan, Lines& out) {
  out.info("Exchange tables:");
  for (const GroupStep& group : plan.groups) {
    out.info(std::string(kIndent) + "group " + group.key + ":");
    for (const TableStep& step : group.tables) out.item(kIndent + tableText(step), step.state);
  }
  for (const auto& [bdf, where] : plan.ungrouped)
    out.item(bdf + ": sits " + where + ": in no group, no exchange table", {});
}

std::string peerText(const PeerStep& step, Role side) {
  const std::string head = sideAddress(side, step.gpu) + ": ";
  switch (step.state.outcome) {
    case Outcome::kChange:
      return head + peerNowName(step.file) + " -> stored: table of " +
             std::to_string(step.area.words.size()) + " words, self " +
             packedWithHost(areaSelf(step.area.words[0]));
    case Outcome::kUnchanged:
      return head + "unchanged";
    case Outcome::kLeftAlone:
    case Outcome::kUnknown:
      break;
  }
  return head + notDone(step.state);
}

void peerLines(const ReadPlan& plan, Lines& out) {
  const char* dir = plan.dir == DirNow::kMade     ? " (made by the run)"
                    : plan.dir == DirNow::kCannot ? " (cannot be made)"
                                                  : "";
  const bool host = plan.side() == Role::kHost;
  out.info(std::string("Role: ") + roleName(plan.role.role) + " (" + roleEvidence(plan.role) + ")" +
               (host ? ": p2ptool -r is for guests; it runs all the same" : ""),
           host);
  out.info(std::string("Peer files in ") + kPeerConfigDir + dir + ":");
  for (const PeerStep& step : plan.files) out.item(peerText(step, plan.side()), step.state);
  if (plan.leftovers.empty()) return;
  out.info("Temporary files of an interrupted run, removed:");
  for (const std::string& path : plan.leftovers) out.item(path, {});
}

std::string closing(const Plan& plan) {
  const size_t changes = changeCount(plan);
  std::string text = "Result: " + std::to_string(changes) + (changes == 1 ? " change" : " changes");
  if (leavesUndone(plan)) return text + "; work left undone (exit status 1)";
  if (leavesUnknown(plan)) return text + "; some facts unknown (exit status 3)";
  return text + "; nothing left undone";
}

}  // namespace

std::vector<PlanLine> planLines(const Plan& plan) {
  Lines out;
  if (plan.gpus.empty()) {
    out.info("Nothing to do: no GPU found.");
    return out.take();
  }
  out.info(std::string(heading(plan.mode)) + "; this dry run changes nothing.");
  if (!plan.as_root) out.info("Not run as root: what only root can read is unknown.");
  gpuLines(plan, out);
  analysisLines(plan, out);
  if (plan.mode == RunMode::kAcs) portLines(plan, out);
  if (plan.write) tableLines(*plan.write, out);
  if (plan.read) peerLines(*plan.read, out);
  out.info(closing(plan), leavesUndone(plan));
  return out.take();
}
