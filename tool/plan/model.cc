#include <algorithm>

#include "tool/plan/model.h"

namespace {

// The state of every step of the plan; with_gpus: discovery's too.
std::vector<StepState> stepStates(const Plan& plan, bool with_gpus = true) {
  std::vector<StepState> states;
  if (with_gpus)
    for (const auto& step : plan.gpus) states.push_back(step.state);
  for (const auto& entry : plan.unplaced) states.push_back(entry.second);
  for (const auto& step : plan.ports) states.push_back(step.state);
  if (plan.write)
    for (const auto& group : plan.write->groups)
      for (const auto& step : group.tables) states.push_back(step.state);
  if (plan.read)
    for (const auto& step : plan.read->files) states.push_back(step.state);
  return states;
}

}  // namespace

bool leavesUndone(const Plan& plan) {
  const auto states = stepStates(plan);
  return std::any_of(states.begin(), states.end(), [](const StepState& s) { return s.undone; });
}

bool leavesUnknown(const Plan& plan) {
  const auto states = stepStates(plan);
  return std::any_of(states.begin(), states.end(),
                     [](const StepState& s) { return s.outcome == Outcome::kUnknown; });
}

int planExitStatus(const Plan& plan) {
  if (leavesUndone(plan)) return kPlanUndone;
  return leavesUnknown(plan) ? kPlanUnknown : kPlanDone;
}

size_t changeCount(const Plan& plan) {
  size_t count = 0;
  for (const GpuStep& step : plan.gpus)
    if (step.state.outcome == Outcome::kChange)
      for (const auto* word : {&step.command, &step.power}) count += *word && (*word)->changes();
  const auto isChange = [](const StepState& s) { return s.outcome == Outcome::kChange; };
  const auto states = stepStates(plan, false);
  count += static_cast<size_t>(std::count_if(states.begin(), states.end(), isChange));
  if (plan.read) count += plan.read->leftovers.size() + (plan.read->dir == DirNow::kMade);
  return count;
}

const char* outcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kChange:
      return "change";
    case Outcome::kUnchanged:
      return "unchanged";
    case Outcome::kLeftAlone:
      return "left alone";
    case Outcome::kUnknown:
      break;
  }
  return "unknown";
}

const char* tableNowName(TableNow now) {
  switch (now) {
    case TableNow::kCurrent:
      return "current";
    case TableNow::kStale:
      return "stale";
    case TableNow::kMissing:
      return "missing";
    case TableNow::kMalformed:
      return "malformed";
    case TableNow::kUnknown:
      break;
  }
  return "unknown";
}

const char* peerNowName(PeerNow now) {
  switch (now) {
    case PeerNow::kNew:
      return "new";
    case PeerNow::kDiffers:
      return "differs";
    case PeerNow::kUnchanged:
      return "unchanged";
    case PeerNow::kNotAFile:
      return "not a file";
    case PeerNow::kUnknown:
      break;
  }
  return "unknown";
}
