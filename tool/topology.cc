#include "tool/topology.h"

#include <cstdio>
#include <optional>
#include <stdexcept>

#include "common/device/board.h"
#include "tool/containers.h"
#include "tool/discovery.h"

namespace {

constexpr const char* kHostBridgeMark = "pci";

bool isHostBridgeName(const std::string& name) {
  return name.find(kHostBridgeMark) != std::string::npos;
}

// Whether the GPU is a chip of a dual-chip board; nothing (after a message)
// when its device ID cannot be read, and the GPU is then left out.
std::optional<bool> askDualChip(std::string bdf) {
  try {
    return ifDualChipboard(bdf);
  } catch (const std::exception& e) {
    printf("\033[31mError:\033[0m Cannot identify the board of GPU %s (%s); skipping it\n",
           bdf.c_str(), e.what());
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

std::string ancestorName(const std::filesystem::path& device, int levels) {
  std::filesystem::path dir = device;
  for (int i = 0; i < levels; ++i) dir = dir.parent_path();
  return dir.filename().string();
}

bool isBelowRootPort(const std::filesystem::path& device) {
  return isHostBridgeName(ancestorName(device, 2));
}

GpuPlacement placeGpu(const std::filesystem::path& device, bool dual_chip) {
  if (!dual_chip) return {{ancestorName(device, 1)}, ancestorName(device, 2)};
  const std::string sixth = ancestorName(device, 6);
  return {{ancestorName(device, 3), ancestorName(device, 5)},
          isHostBridgeName(sixth) ? ancestorName(device, 4) : sixth};
}

void get_phy_mach_data(std::set<std::filesystem::path> devices) {
  for (const auto& device : devices) {
    const std::string bdf = device.filename().string();
    if (isBelowRootPort(device)) {
      gpu_bus_name_set.erase(bdf);
      continue;
    }
    const std::optional<bool> dual_chip = askDualChip(bdf);
    if (!dual_chip) continue;
    const GpuPlacement placement = placeGpu(device, *dual_chip);
    acs_need_down_switch_name_set.insert(placement.acs_ports.begin(), placement.acs_ports.end());
    addToGroup(placement.group_key, bdf, get_base0_addr(device));
  }
}

void get_virl_mach_data(std::set<std::filesystem::path> devices) {
  for (const auto& device : devices)
    virl_host_map[device.filename().string()] = get_base0_addr(device);
}
