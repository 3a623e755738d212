// p2ptool's run modes, each its plan (tool/plan/planners.h), then applied
// (tool/plan/apply.h): discovery in every mode, then ACS disabling (the
// default), the write mode (-w, host) or the read mode (-r, guest). The
// analysis between discovery and a mode is get_phy_mach_data
// (tool/topology.h).
#pragma once

#include <filesystem>
#include <set>
#include <string>

#include "tool/containers.h"

// Finds the supported GPUs (fills gpu_bus_path_set and gpu_bus_name_set) and
// switches memory decoding and bus mastering on in each GPU's Command register
// (its other bits kept) and sets its Power Management control word to D0
// (0x0008; No_Soft_Reset is read-only and left as it reads). Each register is
// written only when it differs. A GPU that a running guest holds (its VFIO
// group or device open) is named with the holders and gets no write, unless
// `force`; so does a GPU bound to vfio-pci whose holders cannot be seen
// (vfio.h), named with the reason. Such GPUs are added to gpu_in_use_set.
// Such a GPU, a function that discovery skips after a message (an identity
// file without a number, no answer), a configuration file that cannot be
// opened, read or written: each is left undone (tool/undone.h) and the next
// GPU follows.
// It is planGpuWords' plan for each GPU, applied (tool/plan/).
void initPCIeDevice(bool force = false);

// Runs acsDisableCommand for every port in ascending order, reads each port's
// ACS Control back (without a process) and warns about each port where the
// command failed or a redirect bit still reads set. A port whose configuration
// space shows no ACS capability redirects nothing: it gets neither a command
// nor a warning. A port name that is no PCI address is reported and never
// placed in a command line. Every port warned about or reported is left
// undone (tool/undone.h); the next port follows. The plan of this step is
// planPorts' (tool/plan/planners.h), applied by applyPorts.
void close_acs_bdf(std::set<std::string> ports);

// Writes every grouped GPU's exchange area (of its group's tableMembers) into
// its memory window (host side), but for the GPUs of gpu_in_use_set, which
// stay listed in their peers' areas. First names each GPU of
// ungrouped_gpu_map: it gets no area, which is no failure. A window that
// already holds its area is not written again. A group refused, a window that
// cannot be opened or written: left undone (tool/undone.h), and the next GPU
// follows. planTables' plan, applied by applyTables (tool/plan/).
void output_base_addr(const GroupMap& real_host_map,
                      const std::set<std::filesystem::path>& gpu_bus_path_set);

// Stores the exchange area of every GPU found as a peer configuration file
// (guest side), whatever the guest's PCI layout. The guest's groups are not
// consulted: they say nothing about the host's, whose areas the windows hold.
// A file that already holds its area is not stored again. A window that
// cannot be read or holds no valid area, a file not stored: left undone
// (tool/undone.h), the old file kept, and the next GPU follows.
// planPeerFiles' plan, applied by applyPeerFiles (tool/plan/).
void VM_SaveMemoryDataToFile(const GroupMap& real_host_map,
                             const std::set<std::filesystem::path>& gpu_bus_path_set);
