// The P2P matrix of the text report: a GPU x GPU table of how each pair of
// host GPUs connects and whether peer-to-peer works between them, its legend,
// and a line for each pair of a group that is not OK, with what would clear
// it.
#include <algorithm>
#include <map>
#include <utility>

#include "tool/report/format.h"
#include "tool/report/render.h"

namespace {

constexpr size_t kMatrixMaxGpus = 16;  // more than this: one matrix per group
constexpr size_t kColumnGap = 2;
constexpr const char* kItself = "X";

constexpr const char* kLegend[] = {
    "Legend:",
    "  X    the GPU itself",
    "  BRD  the two chips of one dual-chip board, across its own switch",
    "  PIX  one switch",
    "  PXB  several switches",
    "  PHB  only through the root complex",
    "  OK   peer-to-peer works",
    "  RD   a port where their paths meet redirects their requests upstream (ACS)",
    "  NG   not in one group: no exchange table names both",
    "  NT   no current table (run p2ptool -w)",
    "  VM   in use by different guests",
    "  ??   unknown",
};

const char* connectionCode(Connection connection) {
  switch (connection) {
    case Connection::kBoard:
      return "BRD";
    case Connection::kSwitch:
      return "PIX";
    case Connection::kSwitches:
      return "PXB";
    case Connection::kRootComplex:
      break;
  }
  return "PHB";
}

const char* reasonCode(PairReason reason) {
  switch (reason) {
    case PairReason::kNotInOneGroup:
      return "NG";
    case PairReason::kRedirected:
      return "RD";
    case PairReason::kNoCurrentTable:
      return "NT";
    case PairReason::kDifferentGuests:
      return "VM";
    case PairReason::kUnknown:
      break;
  }
  return "??";
}

std::string cell(const PairStatus& pair) {
  const std::vector<PairReason> reasons = pair.reasons();
  return std::string(connectionCode(pair.connection)) + " " +
         (reasons.empty() ? "OK" : reasonCode(reasons.front()));
}

std::string padded(const std::string& text, size_t width) {
  return text.size() < width ? text + std::string(width - text.size(), ' ') : text;
}

// Every pair of host GPUs by its two PCI addresses, in either order.
class Pairs {
 public:
  explicit Pairs(const HostStatus& host) {
    for (const PairStatus& pair : host.pairs) {
      pairs_[{pair.a, pair.b}] = &pair;
      pairs_[{pair.b, pair.a}] = &pair;
    }
  }
  const PairStatus* find(const std::string& a, const std::string& b) const {
    const auto pair = pairs_.find({a, b});
    return pair == pairs_.end() ? nullptr : pair->second;
  }

 private:
  std::map<std::pair<std::string, std::string>, const PairStatus*> pairs_;
};

class Matrix {
 public:
  Matrix(const HostStatus& host, std::vector<ReportLine>& lines) : pairs_(host), lines_(lines) {}

  void add(const std::vector<std::string>& gpus) {
    size_t width = 0;
    for (const auto& gpu : gpus) width = std::max(width, gpu.size() + kColumnGap);
    std::string header = "  " + std::string(width, ' ');
    for (const auto& gpu : gpus) header += padded(gpu, width);
    info(header);
    for (const auto& row : gpus) {
      std::string line = "  " + padded(row, width);
      for (const auto& column : gpus) {
        const PairStatus* pair = pairs_.find(row, column);
        line += padded(pair ? cell(*pair) : kItself, width);
      }
      info(line);
    }
  }
  void info(std::string text) {
    text.erase(text.find_last_not_of(' ') + 1);
    lines_.push_back({Priority::kInfo, text});
  }

 private:
  Pairs pairs_;
  std::vector<ReportLine>& lines_;
};

// One matrix per group, then the GPUs that are in none.
void addGroupMatrices(const HostStatus& host, Matrix& matrix) {
  for (const GroupStatus& group : host.groups) {
    matrix.info("P2P matrix of group " + group.key + ":");
    matrix.add(group.gpus);
  }
  std::vector<std::string> apart, unknown;
  for (const HostGpu& gpu : host.gpus)
    if (gpu.group.empty()) (gpu.placeKnown() ? apart : unknown).push_back(gpu.bdf);
  if (!apart.empty()) matrix.info("In no group (NG with every GPU): " + join(apart, " "));
  if (!unknown.empty()) matrix.info("Group unknown (?? with every GPU): " + join(unknown, " "));
}

// The ports that redirect the pair's requests, each with what clears it.
void addRedirects(const PairStatus& pair, std::vector<ReportLine>& lines) {
  for (const MeetingPort& port : pair.ports) {
    if (!port.status.redirects()) continue;
    const std::string& name = port.status.port;
    if (!port.by_design) {
      lines.push_back(
          {Priority::kWarning, "    " + name + ": p2ptool clears it (" + port.command + ")"});
      continue;
    }
    const char* where =
        pair.connection == Connection::kBoard ? ", a port of the board's own switch" : "";
    lines.push_back({Priority::kWarning, "    " + name + ": the default mode leaves it by design" +
                                             where + "; to clear it: " + port.command +
                                             ", or boot with the kernel parameter below"});
  }
}

std::string pairText(const Status& status, const PairStatus& pair) {
  std::vector<std::string> reasons;
  if (!pair.redirecting().empty())
    reasons.push_back("redirected at " + join(pair.redirecting(), ", "));
  if (!pair.tables_not_current.empty())
    reasons.push_back("no current table: " + join(pair.tables_not_current, ", ") +
                      " (run p2ptool -w)");
  if (pair.tenants_differ) reasons.push_back("in use by different guests");
  for (const MeetingPort& port : pair.ports)
    if (port.status.state == PortState::kUnreadable)
      reasons.push_back("ACS Control of " + port.status.port + " unknown (" +
                        unknownReason(status, port.status.reason) + ")");
  if (pair.tables_unknown) reasons.push_back("tables unknown");
  if (pair.tenants_unknown) reasons.push_back("in use unknown");
  return "  " + pair.a + " " + pair.b + "  " + connectionCode(pair.connection) + ": " +
         join(reasons, "; ");
}

// Every pair of a group that is not OK, and why.
void addPairs(const Status& status, const HostStatus& host, std::vector<ReportLine>& lines) {
  std::vector<ReportLine> pairs;
  for (const PairStatus& pair : host.pairs) {
    if (pair.grouping != Grouping::kOneGroup || pair.ok()) continue;
    pairs.push_back({Priority::kWarning, pairText(status, pair)});
    addRedirects(pair, pairs);
  }
  if (pairs.empty()) return;
  lines.push_back({Priority::kInfo, "Pairs of a group that are not OK:"});
  lines.insert(lines.end(), pairs.begin(), pairs.end());
}

}  // namespace

std::vector<ReportLine> matrixLines(const Status& status, const HostStatus& host, bool whole) {
  std::vector<ReportLine> lines;
  Matrix matrix(host, lines);
  if (whole || host.gpus.size() <= kMatrixMaxGpus) {
    std::vector<std::string> gpus;
    for (const HostGpu& gpu : host.gpus) gpus.push_back(gpu.bdf);
    matrix.info("P2P matrix:");
    matrix.add(gpus);
  } else {
    addGroupMatrices(host, matrix);
  }
  for (const char* line : kLegend) matrix.info(line);
  addPairs(status, host, lines);
  return lines;
}
