// Topology analysis: which switch ports need ACS switched off, and which GPUs
// sit below one switch (the groups whose addresses are exchanged).
//
// Only the shape of a GPU's device path is used: every function's directory
// lies inside the directory of the port above it, and host bridges are the
// "pciDDDD:BB" directories below /sys/devices.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

// Where one analysed GPU lands.
struct GpuPlacement {
  std::vector<std::string> acs_ports;  // ports for ACS disabling, in insertion order
  std::string group_key;
};

// Name of the directory `levels` above `device` ("" at and above the root).
std::string ancestorName(const std::filesystem::path& device, int levels);

// A GPU whose second ancestor is a host bridge hangs directly below a root
// port: it has no switch to share and is left out of the analysis.
bool isBelowRootPort(const std::filesystem::path& device);

// Ports and group of a GPU that is not below a root port. A single-chip GPU
// uses the downstream port above it and is grouped by the switch's upstream
// port; a chip of a dual-chip board (whose own switch is ancestors 1 and 2)
// uses the outer switch's downstream port and the port above that switch.
GpuPlacement placeGpu(const std::filesystem::path& device, bool dual_chip);

// Fills acs_need_down_switch_name_set, bdf_bar_map and real_host_map from the
// GPUs' device paths; removes dropped GPUs from gpu_bus_name_set.
void get_phy_mach_data(std::set<std::filesystem::path> devices);

// Fills virl_host_map: BDF string -> BAR0 base address of every given GPU.
void get_virl_mach_data(std::set<std::filesystem::path> devices);
