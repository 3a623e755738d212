// The text report of p2ptool --status: the role and the verdict first, then a
// line per fact, warning priority for the lines that state a problem.
#include <time.h>

#include <string>

#include "common/device/exchange_area.h"
#include "common/device/pass_record.h"
#include "common/device/pci_config.h"
#include "common/device/tamberon_driver.h"
#include "common/util/convert.h"
#include "tool/report/format.h"
#include "tool/report/render.h"

namespace {

constexpr const char* kGroupReady = "P2P ready";
constexpr const char* kRunWrite = " (run p2ptool -w)";
constexpr const char* kWaitForGuest =
    " (in use by a running guest: p2ptool -w must wait until it has stopped)";
constexpr const char* kHoldersUnseen = " (in use unknown: p2ptool -w leaves it as it is)";
constexpr const char* kNoRecord =
    "no record of p2pwatch: is p2pwatch running? (systemctl status p2pwatch)";

class Lines {
 public:
  void info(const std::string& text) { lines_.push_back({Priority::kInfo, text}); }
  void problem(const std::string& text) { lines_.push_back({Priority::kWarning, text}); }
  void add(bool is_problem, const std::string& text) { is_problem ? problem(text) : info(text); }
  void append(const std::vector<ReportLine>& more) {
    lines_.insert(lines_.end(), more.begin(), more.end());
  }
  std::vector<ReportLine> take() { return std::move(lines_); }

 private:
  std::vector<ReportLine> lines_;
};

std::string hexWords(const std::vector<uint64_t>& words) {
  std::vector<std::string> texts;
  for (const uint64_t word : words) texts.push_back(hexNumber(word, 16));
  return join(texts, " ");
}

std::string placement(const HostGpu& gpu) {
  if (gpu.below_root_port) return "no group: below a root port";
  if (gpu.on_root_bus) return "no group: on the root bus";
  if (!gpu.group.empty()) return "group " + gpu.group;
  if (gpu.board == Board::kUnknown) return "group unknown";
  return "no group: below a name that is no PCI address";
}

std::string boardText(const Status& status, const HostGpu& gpu) {
  switch (gpu.board) {
    case Board::kDualChip:
      return "dual-chip board";
    case Board::kSingleChip:
      return "single chip    ";
    case Board::kUnknown:
      break;
  }
  return "board: unknown (" + unknownReason(status, gpu.reason) + ")";
}

std::string gpuLine(const Status& status, const HostGpu& gpu) {
  if (gpu.state == GpuState::kOffline) return gpu.bdf + "  offline: does not answer";
  if (gpu.state == GpuState::kUnreadable)
    return gpu.bdf + "  configuration space unreadable (" + unknownReason(status, gpu.reason) + ")";
  return gpu.bdf + "  " + boardText(status, gpu) + "  BAR0 " + hexNumber(gpu.bar0, 16) + "  " +
         placement(gpu);
}

// What the table says; `remedy` follows a table -w would change.
std::string tableText(const Status& status, const TableStatus& table, const char* remedy) {
  switch (table.state) {
    case TableState::kCurrent:
      return "current";
    case TableState::kMissing:
      return std::string("missing") + remedy;
    case TableState::kStale:
      return std::string("stale, BAR0 or members changed since") + remedy;
    case TableState::kMalformed:
      return "malformed, word count " + std::to_string(areaWordCount(table.words[0])) + remedy;
    case TableState::kUnreadable:
      return "unknown (" + unknownReason(status, table.reason) + ")";
    case TableState::kLeftOut:
      break;
  }
  return "none, p2ptool -w leaves this GPU out (" + table.reason + ")";
}

void addTable(const Status& status, const HostGpu& gpu, Lines& lines) {
  const TableStatus& table = *gpu.table;
  const char* remedy = gpu.inUse() ? kWaitForGuest : gpu.tenants ? kRunWrite : kHoldersUnseen;
  lines.add(!table.current(), "    table: " + tableText(status, table, remedy));
  if (table.state != TableState::kStale && table.state != TableState::kMalformed) return;
  lines.problem("      window holds:    " + hexWords(table.words));
  lines.problem("      -w would write:  " + hexWords(table.expected));
}

std::string portLine(const Status& status, const PortStatus& port) {
  switch (port.state) {
    case PortState::kAcs:
      return port.port + "  ACSCtl: " + decodeAcsControl(port.acs_control);
    case PortState::kNoAcs:
      return port.port + "  no ACS capability";
    case PortState::kUnreadable:
      return port.port + "  ACS Control unreadable (" + unknownReason(status, port.reason) + ")";
    case PortState::kNotAFunction:
      break;
  }
  return port.port + "  not a PCI function";
}

std::string groupLine(const GroupStatus& group) {
  std::vector<std::string> reasons;
  if (!group.blocking.empty()) reasons.push_back("blocked by " + join(group.blocking, ", "));
  if (!group.meeting_blocking.empty())
    reasons.push_back("blocked where members meet by " + join(group.meeting_blocking, ", "));
  if (!group.tables_not_current.empty())
    reasons.push_back("no current table: " + join(group.tables_not_current, ", "));
  if (!group.unreadable_ports.empty())
    reasons.push_back("ACS Control unknown: " + join(group.unreadable_ports, ", "));
  if (!group.meeting_unknown.empty())
    reasons.push_back("ACS Control unknown where members meet: " +
                      join(group.meeting_unknown, ", "));
  if (!group.tables_in_use.empty())
    reasons.push_back("in use by a running guest: " + join(group.tables_in_use, ", ") +
                      " (p2ptool -w must wait until its guest has stopped)");
  if (!group.tables_unknown.empty())
    reasons.push_back("tables unknown: " + join(group.tables_unknown, ", "));
  if (!group.tenants_unknown.empty())
    reasons.push_back("in use unknown: " + join(group.tenants_unknown, ", "));
  const std::string verdict = reasons.empty() ? kGroupReady : join(reasons, "; ");
  return group.key + "  GPUs " + join(group.gpus, " ") + ": " + verdict;
}

// Who holds the GPU: said for a GPU in use, and where that cannot be seen.
// Process names are anyone's choice: they pass through printable().
void addTenants(const Status& status, const HostGpu& gpu, Lines& lines) {
  if (!gpu.tenants)
    lines.problem("    in use: unknown (" + unknownReason(status, gpu.tenants_reason) + ")");
  if (gpu.inUse())
    lines.info("    in use by a running guest: " + printable(tenantList(*gpu.tenants)));
}

// One group, one tenant: members held by different processes are named.
void addTenantWarning(const GroupStatus& group, Lines& lines) {
  if (!group.tenantsDiffer()) return;
  std::vector<std::string> held;
  for (const auto& [gpu, tenants] : group.tenants)
    held.push_back(gpu + " by " + printable(tenantList(tenants)));
  lines.problem("  " + group.key + "  WARNING: held by different processes: " + join(held, "; ") +
                " (they reach each other's memory without the IOMMU)");
}

void addHost(const Status& status, const HostStatus& host, Lines& lines) {
  lines.info("Host GPUs:");
  for (const auto& gpu : host.gpus) {
    const bool placement_unknown = gpu.board == Board::kUnknown && !gpu.below_root_port;
    lines.add(gpu.state != GpuState::kOnline || placement_unknown, "  " + gpuLine(status, gpu));
    if (!gpu.virtual_functions.empty())
      lines.info("    virtual functions: " + join(gpu.virtual_functions, " "));
    if (gpu.table) addTable(status, gpu, lines);
    addTenants(status, gpu, lines);
  }
  lines.info("Ports the default mode changes:");
  for (const auto& port : host.ports)
    lines.add(port.redirects() || port.state == PortState::kUnreadable,
              "  " + portLine(status, port));
  lines.info("Groups:");
  for (const auto& group : host.groups) {
    lines.add(group.verdict() != Verdict::kReady, "  " + groupLine(group));
    addTenantWarning(group, lines);
  }
}

std::string peerMatch(const GuestGpu& gpu) {
  if (!gpu.peer_matches) return "";
  if (*gpu.peer_matches) return ", matches the exchange table";
  return ", differs from the exchange table (run p2ptool -r)";
}

void addPeer(const Status& status, const GuestGpu& gpu, Lines& lines) {
  switch (gpu.peer_state) {
    case PeerState::kNone:
      return lines.problem("    peer file: none");
    case PeerState::kMalformed:
      return lines.problem("    peer file: malformed");
    case PeerState::kNotAFile:
      return lines.problem("    peer file: not a regular file");
    case PeerState::kUnreadable:
      return lines.problem("    peer file: unknown (" + unknownReason(status, gpu.peer_reason) +
                           ")");
    case PeerState::kWellFormed:
      break;
  }
  lines.add(gpu.peer_matches == false,
            "    peer file: self " + packedWithHost(gpu.peer->self) + peerMatch(gpu));
  for (size_t i = 1; i + 1 < gpu.peer->words.size(); i += 2)
    lines.info("      peer " + packedWithHost(gpu.peer->words[i]) + "  host BAR0 " +
               hexNumber(gpu.peer->words[i + 1], 16));
}

// The local time of the pass, to the second: "2026-12-07 18:52:50"; a time no
// calendar of this machine holds as the record gives it, in seconds since
// 1970. A time in the future says so.
std::string localTime(const PassStatus& pass) {
  const timespec& time = pass.time;
  struct tm local {};
  char text[64] = "";
  std::string shown;
  if (localtime_r(&time.tv_sec, &local) &&
      strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) > 0)
    shown = text;
  else
    shown = passTimeText(time) + " s since 1970";
  return pass.future ? shown + " (in the future)" : shown;
}

std::string passText(const Status& status, const PassStatus& pass) {
  const std::string at = " at " + localTime(pass);
  switch (pass.state) {
    case PassState::kProgrammed:
      return "p2pwatch: programmed" + at + " with " + std::to_string(pass.lines) +
             (pass.lines == 1 ? " peer" : " peers");
    case PassState::kFailed:
      return "p2pwatch: failed" + at + ": " + printable(pass.reason);
    case PassState::kNotInRecord:
      return "p2pwatch: its last pass" + at + " did not find it bound to " + kDriverName;
    case PassState::kUnreadable:
      return std::string("p2pwatch: record ") + kPassRecordFile + " unknown (" +
             unknownReason(status, pass.reason) + ")";
    case PassState::kBroken:
      return std::string("p2pwatch: record ") + kPassRecordFile +
             " cannot be read: " + printable(pass.reason);
    case PassState::kNoRecord:
      break;
  }
  return kNoRecord;
}

void addPass(const Status& status, const GuestGpu& gpu, Lines& lines) {
  lines.add(gpu.pass.state != PassState::kProgrammed, "    " + passText(status, gpu.pass));
  if (gpu.peer_newer == true)
    lines.problem("    peer file newer than that pass: p2pwatch has not served it");
  for (const auto& conflict : gpu.conflicts) lines.problem("    conflict: " + printable(conflict));
}

std::string windowText(const Status& status, const GuestGpu& gpu) {
  switch (gpu.window) {
    case WindowState::kTable:
      return std::to_string(gpu.table_words) + " words";
    case WindowState::kNone:
      return "none";
    case WindowState::kMalformed:
      return "malformed, word count " + std::to_string(gpu.table_words);
    case WindowState::kUnreadable:
      break;
  }
  return "unknown (" + unknownReason(status, gpu.window_reason) + ")";
}

std::string minorText(const Status& status, const GuestGpu& gpu) {
  if (!gpu.minor_reason.empty())
    return ", minor unknown (" + unknownReason(status, gpu.minor_reason) + ")";
  if (!gpu.minor) return gpu.driver == kDriverName ? ", no minor" : "";
  if (!isMinorNumber(*gpu.minor)) return ", minor \"" + printable(*gpu.minor) + "\" is no number";
  return ", minor " + *gpu.minor;
}

std::string guestVerdict(const GuestGpu& gpu) {
  std::vector<std::string> problems;
  for (const GuestProblem& problem : gpu.problems()) problems.push_back(problem.text);
  const std::string verdict = verdictName(gpu.verdict());
  return problems.empty() ? verdict : verdict + ": " + join(problems, ", ");
}

void addGuest(const Status& status, const std::vector<GuestGpu>& gpus, Lines& lines) {
  lines.info("Guest GPUs:");
  for (const auto& gpu : gpus) {
    lines.info("  " + sideAddress(Role::kGuest, gpu.bdf));
    lines.add(gpu.window != WindowState::kTable, "    exchange table: " + windowText(status, gpu));
    addPeer(status, gpu, lines);
    lines.add(!gpu.minor_reason.empty() || (gpu.minor && !isMinorNumber(*gpu.minor)),
              "    driver: " + (gpu.driver.empty() ? "none" : printable(gpu.driver)) +
                  minorText(status, gpu));
    addPass(status, gpu, lines);
    lines.add(gpu.verdict() != Verdict::kReady, "    " + guestVerdict(gpu));
  }
}

// The kernel parameter, or why it is not known.
std::string parameterText(const Status& status, const HostStatus& host) {
  if (!host.redir_unknown.empty())
    return "unknown (" + unknownReason(status, host.redir_unknown) + ")";
  const std::string parameter = acsRedirParameter(host.redir_ports);
  return parameter.empty() ? "none needed" : parameter;
}

}  // namespace

// The summary first: the role with its evidence, and the verdict.
std::vector<ReportLine> statusLines(const Status& status, bool whole_matrix) {
  Lines lines;
  lines.add(!status.role.known(), std::string("Role: ") + roleName(status.role.role) + " (" +
                                      roleEvidence(status.role) + ")");
  const Verdict verdict = status.verdict();
  lines.add(verdict != Verdict::kReady, std::string("Status: ") + verdictName(verdict));
  if (!status.error.empty()) lines.problem("Error: " + status.error);
  if (status.host) addHost(status, *status.host, lines);
  if (status.host) lines.append(matrixLines(status, *status.host, whole_matrix));
  if (status.guest) addGuest(status, *status.guest, lines);
  if (status.error.empty() && !status.host && !status.guest) lines.problem("No GPU found.");
  if (status.host) lines.info("Kernel parameter: " + parameterText(status, *status.host));
  return lines.take();
}
