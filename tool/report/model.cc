// The verdict rules of the report's model.
#include "tool/report/model.h"

#include <set>

#include "common/device/pci_config.h"
#include "common/device/tamberon_driver.h"

namespace {

template <typename List>
Verdict worst(const List& list) {
  Verdict verdict = Verdict::kReady;
  for (const auto& item : list) verdict = worse(verdict, item.verdict());
  return verdict;
}

Verdict verdictOf(bool not_ready, bool unknown) {
  return not_ready ? Verdict::kNotReady : unknown ? Verdict::kUnknown : Verdict::kReady;
}

void windowProblems(const GuestGpu& gpu, std::vector<GuestProblem>& problems) {
  switch (gpu.window) {
    case WindowState::kNone:
      return problems.push_back({Verdict::kNotReady, "no exchange table"});
    case WindowState::kMalformed:
      return problems.push_back({Verdict::kNotReady, "exchange table malformed"});
    case WindowState::kUnreadable:
      return problems.push_back({Verdict::kUnknown, "exchange table unknown"});
    case WindowState::kTable:
      break;
  }
}

void peerProblems(const GuestGpu& gpu, std::vector<GuestProblem>& problems) {
  switch (gpu.peer_state) {
    case PeerState::kNone:
      return problems.push_back({Verdict::kNotReady, "no peer file"});
    case PeerState::kMalformed:
      return problems.push_back({Verdict::kNotReady, "peer file malformed"});
    case PeerState::kNotAFile:
      return problems.push_back({Verdict::kNotReady, "peer file not a regular file"});
    case PeerState::kUnreadable:
      return problems.push_back({Verdict::kUnknown, "peer file unknown"});
    case PeerState::kWellFormed:
      break;
  }
  if (gpu.peer_matches == false)
    problems.push_back({Verdict::kNotReady, "peer file differs from the exchange table"});
}

void minorProblems(const GuestGpu& gpu, std::vector<GuestProblem>& problems) {
  if (!gpu.minor_reason.empty())
    problems.push_back({Verdict::kUnknown, "minor unknown"});
  else if (!gpu.minor)
    problems.push_back({Verdict::kNotReady, "no minor"});
  else if (!isMinorNumber(*gpu.minor))
    problems.push_back({Verdict::kNotReady, "minor is no number"});
}

void passProblems(const GuestGpu& gpu, std::vector<GuestProblem>& problems) {
  switch (gpu.pass.state) {
    case PassState::kFailed:
      problems.push_back({Verdict::kNotReady, "p2pwatch failed"});
      break;
    case PassState::kNotInRecord:
      problems.push_back({Verdict::kNotReady, "not in p2pwatch's last pass"});
      break;
    case PassState::kNoRecord:
      problems.push_back({Verdict::kNotReady, "no record of p2pwatch"});
      break;
    case PassState::kUnreadable:
      problems.push_back({Verdict::kUnknown, "record of p2pwatch unknown"});
      break;
    case PassState::kBroken:
      problems.push_back({Verdict::kNotReady, "record of p2pwatch cannot be read"});
      break;
    case PassState::kProgrammed:
      break;
  }
  if (gpu.peer_newer == true)
    problems.push_back({Verdict::kNotReady, "peer file newer than p2pwatch's last pass"});
}

}  // namespace

Verdict worse(Verdict a, Verdict b) {
  if (a == Verdict::kNotReady || b == Verdict::kNotReady) return Verdict::kNotReady;
  return a == Verdict::kUnknown || b == Verdict::kUnknown ? Verdict::kUnknown : Verdict::kReady;
}

const char* verdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kReady:
      return "ready";
    case Verdict::kNotReady:
      return "not ready";
    case Verdict::kUnknown:
      break;
  }
  return "unknown";
}

Verdict TableStatus::verdict() const {
  return verdictOf(!current() && state != TableState::kUnreadable,
                   state == TableState::kUnreadable);
}

Verdict HostGpu::verdict() const {
  if (state != GpuState::kOnline)
    return state == GpuState::kOffline ? Verdict::kNotReady : Verdict::kUnknown;
  // Below a root port the board decides nothing: such a GPU is in no group.
  if (board == Board::kUnknown && !below_root_port) return Verdict::kUnknown;
  return table ? table->verdict() : Verdict::kReady;
}

bool HostGpu::placeKnown() const {
  if (!group.empty() || below_root_port || state == GpuState::kOffline) return true;
  return state == GpuState::kOnline && board != Board::kUnknown;
}

bool PortStatus::redirects() const {
  return state == PortState::kAcs && (acs_control & kAcsRedirectMask) != 0;
}

bool GroupStatus::tenantsDiffer() const {
  std::set<std::vector<pid_t>> holders;
  for (const auto& entry : tenants) {
    std::vector<pid_t> pids;
    for (const Tenant& tenant : entry.second) pids.push_back(tenant.pid);
    holders.insert(pids);
  }
  return holders.size() > 1;
}

Verdict GroupStatus::verdict() const {
  const bool unknown = !unreadable_ports.empty() || !meeting_unknown.empty() ||
                       !tables_unknown.empty() || !tenants_unknown.empty();
  return verdictOf(!blocking.empty() || !meeting_blocking.empty() || !tables_not_current.empty(),
                   unknown);
}

std::vector<std::string> PairStatus::redirecting() const {
  std::vector<std::string> names;
  for (const MeetingPort& port : ports)
    if (port.status.redirects()) names.push_back(port.status.port);
  return names;
}

std::vector<std::string> PairStatus::unknownPorts() const {
  std::vector<std::string> names;
  for (const MeetingPort& port : ports)
    if (port.status.state == PortState::kUnreadable) names.push_back(port.status.port);
  return names;
}

std::vector<PairReason> PairStatus::reasons() const {
  if (grouping == Grouping::kApart) return {PairReason::kNotInOneGroup};
  if (grouping == Grouping::kUnknown) return {PairReason::kUnknown};
  std::vector<PairReason> list;
  if (!redirecting().empty()) list.push_back(PairReason::kRedirected);
  if (!tables_not_current.empty()) list.push_back(PairReason::kNoCurrentTable);
  if (tenants_differ) list.push_back(PairReason::kDifferentGuests);
  if (!unknownPorts().empty() || tables_unknown || tenants_unknown)
    list.push_back(PairReason::kUnknown);
  return list;
}

Verdict PairStatus::verdict() const {
  const std::vector<PairReason> list = reasons();
  const bool unknown = !list.empty() && list.back() == PairReason::kUnknown;
  return verdictOf(list.size() > (unknown ? 1u : 0u), unknown);
}

Verdict HostStatus::verdict() const { return worse(worst(gpus), worst(groups)); }

std::vector<GuestProblem> GuestGpu::problems() const {
  std::vector<GuestProblem> list;
  windowProblems(*this, list);
  peerProblems(*this, list);
  minorProblems(*this, list);
  passProblems(*this, list);
  if (!conflicts.empty()) list.push_back({Verdict::kNotReady, "claims what another GPU claims"});
  return list;
}

Verdict GuestGpu::verdict() const {
  Verdict verdict = Verdict::kReady;
  for (const GuestProblem& problem : problems()) verdict = worse(verdict, problem.verdict);
  return verdict;
}

Verdict guestVerdict(const std::vector<GuestGpu>& gpus) { return worst(gpus); }

Verdict Status::verdict() const {
  if (!error.empty()) return Verdict::kUnknown;
  if (!host && !guest) return Verdict::kNotReady;  // no GPU at all is nothing to be ready
  const Verdict view = host ? host->verdict() : guestVerdict(*guest);
  return role.known() ? view : worse(view, Verdict::kUnknown);
}
