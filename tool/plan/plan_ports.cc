// The ACS step for each switch port above the GPUs.
#include <cerrno>
#include <cstring>

#include "common/device/pci_address.h"
#include "tool/acs.h"
#include "tool/plan/planners.h"

namespace {

// Why a port's ACS Control cannot be read from what its `config` gave.
std::string unreadableReason(const std::optional<ConfigSpace>& config, int error) {
  if (!config) return strerror(error);
  if (!config->answers()) return "it does not answer";
  return "configuration space of " + std::to_string(config->size()) + " bytes";
}

PortStep planPort(const std::string& port, bool as_root) {
  PortStep step;
  step.port = port;
  if (!isPciAddress(port)) {
    step.alone = PortAlone::kNotAnAddress;
    step.state = leftAlone("its name is no PCI address");
    return step;
  }
  errno = 0;
  const std::optional<ConfigSpace> config = readConfigSpace(kSysPciDevices + port);
  const int error = errno;
  const AcsPresence presence = config ? config->acsPresence() : AcsPresence::kUnknown;
  if (presence == AcsPresence::kAbsent) {  // it redirects nothing
    step.alone = PortAlone::kNoAcs;
    step.state = {Outcome::kLeftAlone, "no ACS capability", false};
    return step;
  }
  step.command = acsDisableCommand(port);
  if (presence == AcsPresence::kPresent) {
    step.before = config->acsControl();
    step.after = static_cast<uint16_t>(*step.before & ~kAcsRedirectMask);
    step.state.outcome = *step.before != step.after ? Outcome::kChange : Outcome::kUnchanged;
    return step;
  }
  // The run gives it the command all the same, and cannot read it back.
  step.state = as_root
                   ? StepState{Outcome::kUnknown,
                               "ACS Control unreadable: " + unreadableReason(config, error), true}
                   : unknownWithoutRoot();
  return step;
}

}  // namespace

std::vector<PortStep> planPorts(const std::set<std::string>& ports, bool as_root) {
  std::vector<PortStep> steps;
  for (const auto& port : ports) steps.push_back(planPort(port, as_root));
  return steps;
}
