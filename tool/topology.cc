#include "tool/topology.h"

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <vector>

#include "common/device/board.h"
#include "common/device/pci_address.h"
#include "common/log/console.h"
#include "tool/config_readers.h"
#include "tool/containers.h"
#include "tool/undone.h"

namespace {

constexpr const char* kHostBridgePrefix = "pci";
constexpr const char* kRootBusFunction = ":00.0";  // completes "DDDD:BB" to an address
constexpr const char* kBelowRootPort = "directly below root port ";
constexpr const char* kOnRootBus = "on the root bus of ";
constexpr const char* kNotAnAddress =
    "\033[31mError:\033[0m GPU %s sits below \"%s\", which is no PCI address; skipping it\n";

GpuPlacement placeDualChip(const std::filesystem::path& device) {
  if (isHostBridgeName(ancestorName(device, 4)))  // the board sits in a root port
    return {{ancestorName(device, 3)}, ancestorName(device, 2)};
  const std::string sixth = ancestorName(device, 6);
  return {{ancestorName(device, 3), ancestorName(device, 5)},
          isHostBridgeName(sixth) ? ancestorName(device, 4) : sixth};
}

// Whether the GPU is a chip of a dual-chip board; nothing (after a message)
// when its device ID cannot be read, and the GPU is then left out.
std::optional<bool> askDualChip(std::string bdf) {
  try {
    return ifDualChipboard(bdf);
  } catch (const std::exception& e) {
    report(Priority::kError,
           "\033[31mError:\033[0m Cannot identify the board of GPU %s (%s); skipping it\n",
           bdf.c_str(), e.what());
    leaveUndone();
    return std::nullopt;
  }
}

// Adds the GPU to its group. A group holds every GPU analysed under its key,
// whatever order or kind they come in; bdf_bar_map mirrors the group last
// touched.
void addToGroup(const std::string& key, const std::string& bdf, unsigned long bar0) {
  BarMap& group = real_host_map[key];
  group[bdf] = bar0;
  bdf_bar_map = group;
}

}  // namespace

std::optional<std::string> firstNonAddress(const GpuPlacement& placement) {
  for (const auto& port : placement.acs_ports)
    if (!isPciAddress(port)) return port;
  if (!isPciAddress(placement.group_key)) return placement.group_key;
  return std::nullopt;
}

std::string ancestorName(const std::filesystem::path& device, int levels) {
  std::filesystem::path dir = device;
  for (int i = 0; i < levels; ++i) dir = dir.parent_path();
  return dir.filename().string();
}

bool isHostBridgeName(const std::string& name) {
  const size_t prefix = std::char_traits<char>::length(kHostBridgePrefix);
  return name.compare(0, prefix, kHostBridgePrefix) == 0 &&
         isPciAddress(name.substr(prefix) + kRootBusFunction);
}

bool isBelowRootPort(const std::filesystem::path& device) {
  return isHostBridgeName(ancestorName(device, 2));
}

bool isBelowSwitch(const std::filesystem::path& device) {
  return !isHostBridgeName(ancestorName(device, 1)) && !isBelowRootPort(device);
}

std::optional<GpuPlacement> placeGpu(const std::filesystem::path& device, bool dual_chip) {
  if (!isBelowSwitch(device)) return std::nullopt;
  if (dual_chip) return placeDualChip(device);
  return GpuPlacement{{ancestorName(device, 1)}, ancestorName(device, 2)};
}

GpuPlace locateGpu(const std::filesystem::path& device,
                   const std::function<std::optional<bool>()>& dual_chip) {
  if (isBelowRootPort(device)) return {Where::kBelowRootPort, {}, ancestorName(device, 1)};
  const std::optional<bool> dual = dual_chip();
  if (!dual) return {};
  const std::optional<GpuPlacement> placement = placeGpu(device, *dual);
  if (!placement) return {Where::kOnRootBus, {}, ancestorName(device, 1)};
  if (const auto bad = firstNonAddress(*placement)) return {Where::kBelowNonAddress, {}, *bad};
  return {Where::kInGroup, *placement, ""};
}

std::string GpuPlace::ungrouped() const {
  if (where == Where::kBelowRootPort) return kBelowRootPort + name;
  return where == Where::kOnRootBus ? kOnRootBus + name : "";
}

namespace {

// The components of a device path below /sys/devices (or all of them).
std::vector<std::string> pathNames(const std::filesystem::path& device) {
  std::vector<std::string> names;
  for (const auto& part : device.relative_path()) names.push_back(part.string());
  return names;
}

// The port on one side: the name at `at` unless that is the GPU itself.
std::string portAt(const std::vector<std::string>& names, size_t at) {
  return at + 1 < names.size() ? names[at] : "";
}

}  // namespace

MeetingPoint meetingPoint(const std::filesystem::path& a, const std::filesystem::path& b) {
  const std::vector<std::string> na = pathNames(a), nb = pathNames(b);
  size_t common = 0;
  while (common < na.size() && common < nb.size() && na[common] == nb[common]) ++common;
  MeetingPoint point;
  size_t at_a = common, at_b = common;  // where each side's port lies
  if (common > 0 && isPciAddress(na[common - 1])) {
    point.bridge = na[common - 1];
  } else {  // no common bridge function: the first function on each side
    point.root_complex = true;
    while (at_a < na.size() && !isPciAddress(na[at_a])) ++at_a;
    while (at_b < nb.size() && !isPciAddress(nb[at_b])) ++at_b;
  }
  point.port_a = portAt(na, at_a);
  point.port_b = portAt(nb, at_b);
  point.direct_a = at_a + 2 == na.size();
  point.direct_b = at_b + 2 == nb.size();
  return point;
}

void get_phy_mach_data(std::set<std::filesystem::path> devices) {
  for (const auto& device : devices) {
    const std::string bdf = device.filename().string();
    const GpuPlace place = locateGpu(device, [&] { return askDualChip(bdf); });
    if (place.where == Where::kUnknown) continue;  // askDualChip said why
    if (place.where == Where::kBelowNonAddress) {
      report(Priority::kError, kNotAnAddress, bdf.c_str(), place.name.c_str());
      leaveUndone();
      gpu_bus_name_set.erase(bdf);
      continue;
    }
    if (place.where != Where::kInGroup) {  // below a root port or on a root bus
      ungrouped_gpu_map[bdf] = place.ungrouped();
      gpu_bus_name_set.erase(bdf);
      continue;
    }
    const GpuPlacement& placement = place.placement;
    acs_need_down_switch_name_set.insert(placement.acs_ports.begin(), placement.acs_ports.end());
    addToGroup(placement.group_key, bdf, get_base0_addr(device));
  }
}

void get_virl_mach_data(std::set<std::filesystem::path> devices) {
  for (const auto& device : devices)
    virl_host_map[device.filename().string()] = get_base0_addr(device);
}
