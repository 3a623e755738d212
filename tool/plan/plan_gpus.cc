// Discovery's step for one GPU: its Command and Power Management words.
#include <cstring>

#include "tool/plan/planners.h"

namespace {

constexpr size_t kCommandReg = 0x04;
constexpr uint16_t kDecodingBits = 0x0006;  // Memory Space Enable, Bus Master Enable
constexpr uint16_t kPmValue = 0x0008;       // D0 (No_Soft_Reset is the function's own)

std::optional<WordStep> commandWord(const ConfigSpace& config) {
  const auto command = config.read(kCommandReg, 2);
  if (!command) return std::nullopt;
  const auto before = static_cast<uint16_t>(*command);
  return WordStep{kCommandReg, before, static_cast<uint16_t>(before | kDecodingBits)};
}

std::optional<WordStep> powerWord(const ConfigSpace& config) {
  const auto pm = config.findCapability(kCapIdPowerManagement);
  const auto word = pm ? config.read(*pm + kPmControlInCap, 2) : std::nullopt;
  if (!word) return std::nullopt;
  const auto before = static_cast<uint16_t>(*word);
  const auto after =
      static_cast<uint16_t>((kPmValue & ~kPmNoSoftReset) | (before & kPmNoSoftReset));
  return WordStep{*pm + kPmControlInCap, before, after};
}

bool held(const Holders* holders) {
  return holders && (!holders->tenants.empty() || holders->unknown());
}

std::string heldReason(const Holders& holders) {
  if (holders.tenants.empty())
    return "may be in use by a running guest: its holders cannot be seen (" + holders.hidden + ")";
  return std::string("in use by a running guest (") +
         (holders.tenants.size() == 1 ? "process " : "processes ") + tenantList(holders.tenants) +
         ")";
}

// A GPU a guest holds or may hold: left alone, or written all the same.
void planHeld(GpuStep& step, bool force, bool as_root) {
  if (force) {
    step.forced = true;
    step.state.reason = heldReason(*step.holders) + ": written all the same (--force)";
    return;
  }
  step.alone = GpuAlone::kHeld;
  // Another user sees no holder of another user's guest: that proves nothing.
  const bool unseen = step.holders->tenants.empty();
  step.state = unseen && !as_root ? unknownWithoutRoot() : leftAlone(heldReason(*step.holders));
}

}  // namespace

GpuStep planGpuWords(const GpuFacts& facts, bool force, bool as_root) {
  GpuStep step;
  step.bdf = facts.bdf;
  step.device = facts.device;
  if (facts.open_error != 0) {
    step.alone = GpuAlone::kUnopened;
    step.error = facts.open_error;
    step.state = leftAlone(std::string("its configuration file cannot be opened: ") +
                           strerror(facts.open_error));
    return step;
  }
  if (!facts.config || !facts.config->answers()) {
    step.alone = GpuAlone::kUnanswered;
    step.state = leftAlone("its configuration space reads all ones or cannot be read");
    return step;
  }
  step.command = commandWord(*facts.config);
  step.power = powerWord(*facts.config);
  if (held(facts.holders)) {
    step.holders = *facts.holders;
    planHeld(step, force, as_root);
    if (step.alone == GpuAlone::kHeld) return step;
  }
  // Another user sees 64 bytes: no capability, and no probe that tells an
  // answering GPU (GetAllDevicePath).
  if (!as_root) {
    step.state = unknownWithoutRoot();
    return step;
  }
  const bool changes =
      (step.command && step.command->changes()) || (step.power && step.power->changes());
  step.state.outcome = changes ? Outcome::kChange : Outcome::kUnchanged;
  return step;
}

GpuStep skippedGpu(const SkippedFunction& function) {
  GpuStep step;
  step.bdf = function.bdf;
  step.alone = GpuAlone::kSkipped;
  step.state = leftAlone(function.why);
  return step;
}
