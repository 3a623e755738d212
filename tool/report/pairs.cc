#include "tool/report/pairs.h"

#include <algorithm>
#include <set>

#include "common/device/pci_address.h"
#include "tool/acs.h"
#include "tool/topology.h"

namespace fs = std::filesystem;

namespace {

// Groups never span root ports (topology.h): GPUs that meet only in the root
// complex are apart whatever their boards.
Grouping groupingOf(const HostGpu& a, const HostGpu& b, Connection connection) {
  if (connection == Connection::kRootComplex) return Grouping::kApart;
  const bool known_a = a.placeKnown(), known_b = b.placeKnown();
  if ((known_a && a.group.empty()) || (known_b && b.group.empty())) return Grouping::kApart;
  if (!known_a || !known_b) return Grouping::kUnknown;
  return a.group == b.group ? Grouping::kOneGroup : Grouping::kApart;
}

Connection connectionOf(const MeetingPoint& point, const HostGpu& a, const HostGpu& b) {
  if (point.root_complex) return Connection::kRootComplex;
  if (!point.direct_a || !point.direct_b) return Connection::kSwitches;
  const bool board = a.board == Board::kDualChip && b.board == Board::kDualChip;
  return board ? Connection::kBoard : Connection::kSwitch;
}

std::vector<pid_t> holders(const HostGpu& gpu) {
  std::vector<pid_t> pids;
  for (const Tenant& tenant : *gpu.tenants) pids.push_back(tenant.pid);
  return pids;
}

void addTables(const HostGpu& gpu, PairStatus& pair) {
  if (!gpu.table || gpu.table->current()) return;
  if (gpu.table->state == TableState::kUnreadable)
    pair.tables_unknown = true;
  else
    pair.tables_not_current.push_back(gpu.bdf);
}

// Reads each port once, however many pairs meet there; the ports the
// default mode changes were read for the groups already.
class Ports {
 public:
  Ports(const HostStatus& host, const PortReader& read) : read_(read) {
    for (const PortStatus& port : host.ports) {
      changed_.insert(port.port);
      read_ports_.emplace(port.port, port);
    }
  }
  void add(const std::string& name, PairStatus& pair) {
    if (name.empty()) return;
    auto known = read_ports_.find(name);
    if (known == read_ports_.end()) known = read_ports_.emplace(name, read_(name)).first;
    MeetingPort port;
    port.status = known->second;
    port.by_design = !changed_.count(name);
    if (isPciAddress(name)) port.command = acsDisableCommand(name);
    pair.ports.push_back(port);
  }

 private:
  const PortReader& read_;
  std::set<std::string> changed_;  // the ports the default mode changes
  std::map<std::string, PortStatus> read_ports_;
};

PairStatus pairOf(const HostGpu& a, const HostGpu& b, const MeetingPoint& point, Ports& ports) {
  PairStatus pair;
  pair.a = a.bdf;
  pair.b = b.bdf;
  pair.connection = connectionOf(point, a, b);
  pair.grouping = groupingOf(a, b, pair.connection);
  if (pair.grouping == Grouping::kOneGroup) pair.group = a.group;
  ports.add(point.port_a, pair);
  ports.add(point.port_b, pair);
  addTables(a, pair);
  addTables(b, pair);
  pair.tenants_unknown = !a.tenants || !b.tenants;
  pair.tenants_differ = a.inUse() && b.inUse() && holders(a) != holders(b);
  return pair;
}

bool contains(const std::vector<std::string>& list, const std::string& name) {
  return std::find(list.begin(), list.end(), name) != list.end();
}

// Adds `name` to `list` unless either holds it.
void addUnlisted(std::vector<std::string>& list, const std::vector<std::string>& listed,
                 const std::string& name) {
  if (!contains(list, name) && !contains(listed, name)) list.push_back(name);
}

}  // namespace

std::vector<PairStatus> pairStatus(const HostStatus& host,
                                   const std::map<std::string, fs::path>& paths,
                                   const PortReader& readPort) {
  Ports ports(host, readPort);
  std::vector<PairStatus> pairs;
  for (size_t i = 0; i < host.gpus.size(); ++i)
    for (size_t j = i + 1; j < host.gpus.size(); ++j) {
      const HostGpu &a = host.gpus[i], &b = host.gpus[j];
      pairs.push_back(pairOf(a, b, meetingPoint(paths.at(a.bdf), paths.at(b.bdf)), ports));
    }
  return pairs;
}

void addMeetingPorts(HostStatus& host) {
  std::set<std::string> parameter(host.redir_ports.begin(), host.redir_ports.end());
  for (const PairStatus& pair : host.pairs) {
    if (pair.grouping != Grouping::kOneGroup) continue;
    GroupStatus& group = *std::find_if(host.groups.begin(), host.groups.end(),
                                       [&](const GroupStatus& g) { return g.key == pair.group; });
    for (const std::string& port : pair.redirecting()) {
      parameter.insert(port);
      addUnlisted(group.meeting_blocking, group.blocking, port);
    }
    for (const std::string& port : pair.unknownPorts()) {
      parameter.insert(port);
      addUnlisted(group.meeting_unknown, group.unreadable_ports, port);
    }
  }
  host.redir_ports.assign(parameter.begin(), parameter.end());
}
