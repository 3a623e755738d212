#include "tool/report/host.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "common/device/board.h"
#include "common/device/enumeration.h"
#include "common/device/pci_address.h"
#include "common/device/pci_config.h"
#include "common/device/vfio.h"
#include "common/util/convert.h"
#include "common/util/paths.h"
#include "tool/config_readers.h"
#include "tool/exchange.h"
#include "tool/report/pairs.h"
#include "tool/topology.h"
#include "tool/window_table.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kBar0Offset = 0x10;
constexpr size_t kBar1Offset = 0x14;
// The sizes sysfs gives root: a function without and with extended space.
constexpr size_t kConventionalConfigSize = 0x100;
constexpr size_t kExtendedConfigSize = 0x1000;
constexpr const char* kNotAnswering = "does not answer";

// What the host view gathers besides the status itself.
struct HostScan {
  HostStatus host;
  std::map<std::string, std::set<std::string>> group_ports;
  GroupMap groups;  // the members with their BAR0, as -w groups them
};

std::string sizeReason(size_t size) {
  return "configuration space of " + std::to_string(size) + " bytes";
}

// The function's configuration space, or nothing with the reason.
std::optional<ConfigSpace> readConfig(const std::string& dir, std::string& reason) {
  errno = 0;
  std::optional<ConfigSpace> config = readConfigSpace(dir);
  if (!config) reason = readFailure(errno);
  return config;
}

Board boardOf(const std::string& bdf, std::string& reason) {
  switch (readBoardReadOnly(bdf)) {
    case BoardRead::kSingleChip:
      return Board::kSingleChip;
    case BoardRead::kDualChip:
      return Board::kDualChip;
    case BoardRead::kNoDeviceId:
      reason = "device ID unreadable";
      break;
    case BoardRead::kNoRegisters:
      reason = "register window unreadable";
      break;
  }
  return Board::kUnknown;
}

HostGpu readGpu(const std::string& bdf, const fs::path& device) {
  HostGpu gpu;
  gpu.bdf = bdf;
  gpu.virtual_functions = virtualFunctions(device.string());
  gpu.state = GpuState::kUnreadable;
  const auto config = readConfig(device.string(), gpu.reason);
  if (!config) return gpu;
  const auto bar1 = config->read(kBar1Offset, 4);
  if (!bar1) {
    gpu.reason = sizeReason(config->size());
    return gpu;
  }
  gpu.state = config->answers() ? GpuState::kOnline : GpuState::kOffline;
  if (gpu.state == GpuState::kOffline) return gpu;
  gpu.bar0 = decodeBar0(static_cast<uint32_t>(*config->read(kBar0Offset, 4)),
                        static_cast<uint32_t>(*bar1));
  gpu.board = boardOf(bdf, gpu.reason);
  return gpu;
}

// Puts the GPU where analysis puts it (topology.h), as the default mode and
// -w do; a GPU whose board is unknown is placed nowhere, so no port depends on
// a guess.
void place(HostGpu& gpu, const fs::path& device, HostScan& scan) {
  const bool board_known = gpu.state == GpuState::kOnline && gpu.board != Board::kUnknown;
  const GpuPlace place = locateGpu(device, [&]() -> std::optional<bool> {
    if (!board_known) return std::nullopt;
    return gpu.board == Board::kDualChip;
  });
  gpu.below_root_port = place.where == Where::kBelowRootPort;
  gpu.on_root_bus = place.where == Where::kOnRootBus;
  if (place.where != Where::kInGroup) return;  // in no group, as in the default mode
  gpu.group = place.placement.group_key;
  scan.group_ports[gpu.group].insert(place.placement.acs_ports.begin(),
                                     place.placement.acs_ports.end());
  scan.groups[gpu.group][gpu.bdf] = gpu.bar0;
}

TableStatus leftOut(const std::string& reason) {
  TableStatus table;
  table.state = TableState::kLeftOut;
  table.reason = reason;
  return table;
}

std::string leftOutReason(const LeftOut& gpu) {
  switch (gpu.reason) {
    case LeftOutReason::kUnassignedBar0:
      return "BAR0 unassigned";
    case LeftOutReason::kTooWide:
      return "its PCI address does not fit the 32-bit self field";
    case LeftOutReason::kSamePacked:
      break;
  }
  return gpu.other + " and " + gpu.bdf + " both pack to " + hexNumber(gpu.packed) +
         ", no table for the group";
}

TableState stateOf(TableMatch match) {
  switch (match) {
    case TableMatch::kCurrent:
      return TableState::kCurrent;
    case TableMatch::kStale:
      return TableState::kStale;
    case TableMatch::kMissing:
      return TableState::kMissing;
    case TableMatch::kMalformed:
      return TableState::kMalformed;
    case TableMatch::kUnreadable:
      break;
  }
  return TableState::kUnreadable;
}

// The table in the window against `expected`, what -w would write now.
TableStatus compareTable(const WindowTable& window, const std::vector<unsigned long>& expected) {
  TableStatus table;
  table.state = stateOf(matchTable(window, expected));
  table.words = window.words;
  table.expected.assign(expected.begin(), expected.end());
  table.reason = window.reason;
  return table;
}

// The table of every member of one group, decided as -w decides it.
std::map<std::string, TableStatus> groupTables(const BarMap& group, WindowReads& windows) {
  const TablePlan plan = planGroupTable(group);
  const std::string too_large = "group of " + std::to_string(group.size()) + " GPUs, more than " +
                                std::to_string(kMaxGroupSize) + " an exchange area holds";
  std::map<std::string, TableStatus> tables;
  for (const auto& member : group) {
    const LeftOut* out = plan.whyNoTable(member.first);
    if (plan.too_large)
      tables[member.first] = leftOut(too_large);
    else if (out)
      tables[member.first] = leftOut(leftOutReason(*out));
    else
      tables[member.first] =
          compareTable(windows.of(member.first), buildExchangeArea(member.first, plan.members));
  }
  return tables;
}

// A port's ACS as the default mode judges it (acs.cc): only a space of a
// size sysfs gives, read whole from a function that answers, tells that it
// has no ACS capability.
PortStatus portStatus(const std::string& port) {
  PortStatus status;
  status.port = port;
  status.state = PortState::kNotAFunction;
  if (!isPciAddress(port)) return status;
  status.state = PortState::kUnreadable;
  const auto config = readConfig(kSysPciDevices + port, status.reason);
  if (!config) return status;
  const size_t size = config->size();
  const bool sysfs_size = size == kConventionalConfigSize || size == kExtendedConfigSize;
  switch (sysfs_size ? config->acsPresence() : AcsPresence::kUnknown) {
    case AcsPresence::kPresent:
      status.state = PortState::kAcs;
      status.acs_control = config->acsControl().value_or(0);
      break;
    case AcsPresence::kAbsent:
      status.state = PortState::kNoAcs;
      break;
    case AcsPresence::kUnknown:
      status.reason = config->answers() ? sizeReason(size) : kNotAnswering;
      break;
  }
  return status;
}

// The members in use: the processes holding each, read in one walk. A GPU
// bound to vfio-pci whose holders may be out of sight, and that no process is
// seen to hold, is unknown (for a caller other than root: every GPU bound to
// vfio-pci that none of its own processes holds).
void addTenants(std::vector<HostGpu>& gpus) {
  std::vector<std::string> bdfs;
  for (const HostGpu& gpu : gpus) bdfs.push_back(gpu.bdf);
  const auto held = gpuHolders(bdfs);
  for (HostGpu& gpu : gpus) {
    const auto holders = held.find(gpu.bdf);
    if (holders == held.end()) continue;
    gpu.tenants = holders->second.tenants;
    if (!holders->second.unknown()) continue;
    gpu.tenants.reset();
    gpu.tenants_reason = holders->second.hidden;
  }
}

void addMember(GroupStatus& group, const HostGpu& gpu) {
  group.gpus.push_back(gpu.bdf);
  if (gpu.inUse()) group.tenants[gpu.bdf] = *gpu.tenants;
  if (!gpu.tenants) group.tenants_unknown.push_back(gpu.bdf);
  if (gpu.table->current()) return;
  if (gpu.table->state == TableState::kUnreadable) return group.tables_unknown.push_back(gpu.bdf);
  group.tables_not_current.push_back(gpu.bdf);
  if (gpu.inUse()) group.tables_in_use.push_back(gpu.bdf);
}

std::vector<GroupStatus> groupStatus(const HostScan& scan) {
  std::map<std::string, GroupStatus> groups;
  for (const HostGpu& gpu : scan.host.gpus)
    if (!gpu.group.empty()) addMember(groups[gpu.group], gpu);
  std::vector<GroupStatus> list;
  for (auto& [key, group] : groups) {
    group.key = key;
    const std::set<std::string>& ports = scan.group_ports.at(key);
    group.ports.assign(ports.begin(), ports.end());
    for (const PortStatus& port : scan.host.ports) {
      if (!ports.count(port.port)) continue;
      if (port.redirects()) group.blocking.push_back(port.port);
      if (port.state == PortState::kUnreadable) group.unreadable_ports.push_back(port.port);
    }
    list.push_back(std::move(group));
  }
  return list;
}

// Why the kernel parameter may lack ports: no ACS capability can be read
// without root, and the ports of a GPU whose place is unknown are unknown.
std::string parameterUnknown(const std::vector<HostGpu>& gpus) {
  if (::geteuid() != 0) return "ACS capabilities unreadable";
  for (const HostGpu& gpu : gpus)
    if (!gpu.placeKnown()) return "the place of " + gpu.bdf + " is unknown";
  return "";
}

}  // namespace

HostStatus hostStatus(const std::map<std::string, fs::path>& gpus, WindowReads& windows) {
  HostScan scan;
  for (const auto& [bdf, device] : gpus) {
    scan.host.gpus.push_back(readGpu(bdf, device));
    place(scan.host.gpus.back(), device, scan);
  }
  addTenants(scan.host.gpus);
  std::map<std::string, TableStatus> tables;
  for (const auto& entry : scan.groups) tables.merge(groupTables(entry.second, windows));
  for (HostGpu& gpu : scan.host.gpus)
    if (!gpu.group.empty()) gpu.table = tables.at(gpu.bdf);
  std::set<std::string> ports;
  for (const auto& entry : scan.group_ports) ports.insert(entry.second.begin(), entry.second.end());
  for (const auto& port : ports) {
    scan.host.ports.push_back(portStatus(port));
    const PortState state = scan.host.ports.back().state;
    if (state == PortState::kAcs || state == PortState::kUnreadable)
      scan.host.redir_ports.push_back(port);
  }
  scan.host.groups = groupStatus(scan);
  scan.host.pairs = pairStatus(scan.host, gpus, portStatus);
  addMeetingPorts(scan.host);
  scan.host.redir_unknown = parameterUnknown(scan.host.gpus);
  return scan.host;
}
