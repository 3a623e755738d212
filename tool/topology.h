// Topology analysis: which switch ports need ACS switched off, and which GPUs
// sit below one switch (the groups whose addresses are exchanged).
//
// Only the shape of a GPU's device path is used: every function's directory
// lies inside the directory of the port above it, and host bridges are the
// "pciDDDD:BB" directories below /sys/devices. Every port and group key the
// analysis hands on is a PCI address.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
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

// A host bridge directory: "pci" followed by a domain and a bus ("pci0000:3a").
bool isHostBridgeName(const std::string& name);

// A GPU whose second ancestor is a host bridge hangs directly below a root
// port: it has no switch to share and is left out of the analysis.
bool isBelowRootPort(const std::filesystem::path& device);

// A GPU below a switch: neither on a root bus nor directly below a root port.
// Only such a GPU's place depends on its board.
bool isBelowSwitch(const std::filesystem::path& device);

// Ports and group of a GPU; nothing for a GPU in no group (on a root bus, or
// a single-chip GPU directly below a root port). A single-chip GPU uses the
// downstream port above it and is grouped by the switch's upstream port. A
// chip of a dual-chip board (whose own switch is ancestors 1 and 2) uses the
// outer switch's downstream port and the port above that switch, grouped by
// the switch above those; a board plugged straight into a root port uses that
// root port and is grouped by its own switch's upstream port, so groups never
// span root ports or host bridges.
std::optional<GpuPlacement> placeGpu(const std::filesystem::path& device, bool dual_chip);

// The first port or group key of the placement that is no PCI address, or
// nothing: such a GPU is left out of the analysis.
std::optional<std::string> firstNonAddress(const GpuPlacement& placement);

// Where analysis puts a GPU.
enum class Where {
  kInGroup,          // in a group: its ACS ports and group key
  kBelowRootPort,    // directly below a root port: in no group, whatever its board
  kOnRootBus,        // on a root bus (passed through): in no group
  kBelowNonAddress,  // below a name that is no PCI address: left out of the analysis
  kUnknown,          // its board is unknown, and where it sits depends on it
};

// All that analysis knows of where a GPU sits.
struct GpuPlace {
  Where where = Where::kUnknown;
  GpuPlacement placement;  // kInGroup: its ports for ACS disabling and its group key
  // kBelowRootPort: the root port; kOnRootBus: the host bridge; kBelowNonAddress:
  // the first port or group key that is no PCI address; "" for the others.
  std::string name;
  // Where a GPU in no group sits, for ungrouped_gpu_map ("directly below root
  // port 0000:85:00.0", "on the root bus of pci0000:00"); "" for the others.
  std::string ungrouped() const;
};

// Where the GPU at `device` sits. `dual_chip` tells whether it is a chip of a
// dual-chip board, nothing when that is unknown; it is asked once, unless the
// GPU hangs directly below a root port, where the board decides nothing. A GPU
// on a root bus is placed with its board known only, as analysis asks for the
// board before it looks at the bus. The one answer for every caller outside
// this module; ancestorName, isBelowRootPort, isBelowSwitch, placeGpu and
// firstNonAddress are its building blocks.
GpuPlace locateGpu(const std::filesystem::path& device,
                   const std::function<std::optional<bool>()>& dual_chip);

// Where the paths of two GPUs meet: the children, on each side, of their
// lowest common bridge in the device path (the downstream ports of the switch
// whose upstream port that bridge is). Paths that share no bridge function
// meet in the root complex, at the root port on each side (the first PCI
// function below the host bridge), whether or not they share a host bridge.
// A side whose GPU is itself that child (a GPU on a root bus, or functions of
// one device) has no port.
struct MeetingPoint {
  bool root_complex = false;
  std::string bridge;  // the lowest common bridge function; "" in the root complex
  std::string port_a, port_b;
  // Whether the GPU sits directly below its port (no further switch between).
  bool direct_a = false, direct_b = false;
};
MeetingPoint meetingPoint(const std::filesystem::path& a, const std::filesystem::path& b);

// Fills acs_need_down_switch_name_set, bdf_bar_map and real_host_map from the
// GPUs' device paths; removes dropped GPUs from gpu_bus_name_set. A GPU whose
// board cannot be identified, or whose ports or group key would not be PCI
// addresses, is reported, dropped and left undone (tool/undone.h); one
// directly below a root port or on a root bus enters ungrouped_gpu_map with
// where it sits, which is no failure.
void get_phy_mach_data(std::set<std::filesystem::path> devices);

// Fills virl_host_map: BDF string -> BAR0 base address of every given GPU.
void get_virl_mach_data(std::set<std::filesystem::path> devices);
