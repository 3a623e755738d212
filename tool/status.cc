// Gathering the status: discovery of the GPUs and the host view. The guest
// view is in status_guest.cc.
#include "tool/status.h"

#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "common/device/board.h"
#include "common/device/enumeration.h"
#include "common/device/exchange_area.h"
#include "common/device/pci_address.h"
#include "common/device/pci_config.h"
#include "tool/status_guest.h"
#include "tool/topology.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kVendorFile = "/vendor";
constexpr const char* kHostBridgePrefix = "pci";
constexpr size_t kVendorOffset = 0x00;
constexpr size_t kBar0Offset = 0x10;
constexpr uint64_t kBarFlags = 0xF;
constexpr uint64_t kNoAnswer = 0xFFFF;  // vendor ID of a function that does not answer
constexpr size_t kExtendedConfigStart = 0x100;

constexpr const char* kAcsBitNames[] = {"SrcValid",    "TransBlk",   "ReqRedir",   "CmpltRedir",
                                        "UpstreamFwd", "EgressCtrl", "DirectTrans"};

// While alive, what the readers print on standard output goes to standard
// error, so that standard output carries the report alone.
class StdoutToStderr {
 public:
  StdoutToStderr() : saved_((fflush(stdout), ::dup(STDOUT_FILENO))) {
    if (saved_ >= 0) ::dup2(STDERR_FILENO, STDOUT_FILENO);
  }
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;
  ~StdoutToStderr() {
    if (saved_ < 0) return;
    fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};

bool isSupportedGpu(const fs::path& entry) {
  std::ifstream in(entry.string() + kVendorFile);
  std::string word;
  if (!(in >> word) || !fs::exists(entry.string() + kDeviceIdFile)) return false;
  try {
    return isGpuFunction(entry.string());
  } catch (const std::logic_error&) {
    return false;
  }
}

// BDF string -> resolved device path of every supported GPU, answering or not.
std::map<std::string, fs::path> findGpus() {
  std::map<std::string, fs::path> gpus;
  for (const fs::directory_entry& entry : fs::directory_iterator(kSysPciDevices)) {
    std::error_code ec;
    const fs::path resolved = fs::canonical(entry.path(), ec);
    if (!ec && isSupportedGpu(entry.path())) gpus[entry.path().filename().string()] = resolved;
  }
  return gpus;
}

bool onRootBus(const fs::path& device) {
  return ancestorName(device, 1).rfind(kHostBridgePrefix, 0) == 0;
}

// The GPU's host view; its ports are added to `ports` when it is grouped.
HostGpu hostGpu(const std::string& bdf, const fs::path& device, std::set<std::string>& ports,
                std::map<std::string, std::set<std::string>>& group_ports) {
  HostGpu gpu;
  gpu.bdf = bdf;
  const auto config = readConfigSpace(device.string());
  if (!config || config->read(kVendorOffset, 2).value_or(kNoAnswer) == kNoAnswer) {
    gpu.state = GpuState::kOffline;
    return gpu;
  }
  gpu.bar0 = config->read(kBar0Offset, 8).value_or(0) & ~kBarFlags;
  const std::optional<bool> dual_chip = isDualChipBoardReadOnly(bdf);
  if (!dual_chip) gpu.state = GpuState::kUnknownBoard;
  gpu.dual_chip = dual_chip.value_or(false);
  gpu.below_root_port = isBelowRootPort(device);
  if (!dual_chip || gpu.below_root_port) return gpu;
  const std::optional<GpuPlacement> placement = placeGpu(device, *dual_chip);
  if (!placement || firstNonAddress(*placement)) return gpu;  // in no group, as in the default mode
  gpu.group = placement->group_key;
  ports.insert(placement->acs_ports.begin(), placement->acs_ports.end());
  group_ports[gpu.group].insert(placement->acs_ports.begin(), placement->acs_ports.end());
  return gpu;
}

PortStatus portStatus(const std::string& port) {
  PortStatus status{port, PortState::kNotAFunction, 0};
  if (!isPciAddress(port)) return status;
  const auto config = readConfigSpace(kSysPciDevices + port);
  status.state = PortState::kUnreadable;
  if (!config || config->size() <= kExtendedConfigStart) return status;
  const auto control = config->acsControl();
  status.state = control ? PortState::kAcs : PortState::kNoAcs;
  status.acs_control = control.value_or(0);
  return status;
}

// A port with ACS redirection on, or whose ACS Control cannot be read. A port
// without ACS capability redirects nothing; a name that is no PCI function
// holds no ACS Control at all.
bool blocks(const PortStatus& port) {
  if (port.state == PortState::kUnreadable) return true;
  return port.state == PortState::kAcs && (port.acs_control & kAcsRedirectBits) != 0;
}

std::vector<GroupStatus> groupStatus(const std::vector<HostGpu>& gpus,
                                     const std::map<std::string, std::set<std::string>>& ports_of,
                                     const std::vector<PortStatus>& ports) {
  std::map<std::string, GroupStatus> groups;
  for (const HostGpu& gpu : gpus)
    if (!gpu.group.empty()) groups[gpu.group].gpus.push_back(gpu.bdf);
  for (auto& [key, group] : groups) {
    group.key = key;
    group.ports.assign(ports_of.at(key).begin(), ports_of.at(key).end());
    for (const PortStatus& port : ports)
      if (ports_of.at(key).count(port.port) && blocks(port)) group.blocking.push_back(port.port);
  }
  std::vector<GroupStatus> list;
  for (auto& entry : groups) list.push_back(std::move(entry.second));
  return list;
}

HostStatus hostStatus(const std::map<std::string, fs::path>& gpus) {
  HostStatus host;
  std::set<std::string> ports;
  std::map<std::string, std::set<std::string>> group_ports;
  for (const auto& [bdf, device] : gpus)
    host.gpus.push_back(hostGpu(bdf, device, ports, group_ports));
  for (const auto& port : ports) {
    host.ports.push_back(portStatus(port));
    if (host.ports.back().state != PortState::kNotAFunction) host.redir_ports.push_back(port);
  }
  host.groups = groupStatus(host.gpus, group_ports, host.ports);
  return host;
}

}  // namespace

bool HostStatus::ready() const {
  const bool gpus_answer = std::all_of(
      gpus.begin(), gpus.end(), [](const HostGpu& gpu) { return gpu.state == GpuState::kOnline; });
  return gpus_answer && std::all_of(groups.begin(), groups.end(),
                                    [](const GroupStatus& group) { return group.ready(); });
}

bool Status::ready() const {
  const bool guest_ready = !guest || std::all_of(guest->begin(), guest->end(),
                                                 [](const GuestGpu& gpu) { return gpu.ready(); });
  const bool found = host || guest;  // no GPU at all is nothing to be ready
  return found && (!host || host->ready()) && guest_ready;
}

std::string decodeAcsControl(uint16_t control) {
  std::string text;
  for (size_t bit = 0; bit < std::size(kAcsBitNames); ++bit) {
    if (!text.empty()) text += ' ';
    text += kAcsBitNames[bit];
    text += (control >> bit) & 1 ? '+' : '-';
  }
  return text;
}

std::string hexNumber(uint64_t value, int digits) {
  char text[24];
  snprintf(text, sizeof text, "0x%0*" PRIx64, digits, value);
  return text;
}

std::string acsRedirParameter(const std::vector<std::string>& ports) {
  if (ports.empty()) return "";
  std::string parameter = "pci=disable_acs_redir=";
  for (size_t i = 0; i < ports.size(); ++i) parameter += (i ? ";" : "") + ports[i];
  return parameter;
}

Status collectStatus() {
  StdoutToStderr diverted;
  const std::map<std::string, fs::path> gpus = findGpus();
  Status status;
  std::map<std::string, fs::path> host_gpus, guest_gpus;
  std::error_code ec;
  const bool peer_dir = fs::is_directory(kPeerConfigDir, ec);
  for (const auto& [bdf, device] : gpus) {
    if (!onRootBus(device)) host_gpus[bdf] = device;
    if (onRootBus(device) || peer_dir) guest_gpus[bdf] = device;
  }
  if (!host_gpus.empty()) status.host = hostStatus(host_gpus);
  if (!guest_gpus.empty()) {
    status.guest.emplace();
    for (const auto& entry : guest_gpus) status.guest->push_back(guestGpu(entry.first));
  }
  return status;
}
