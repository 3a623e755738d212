// GPU discovery and the configuration-space readers built on sysfs `config`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "tool/plan/model.h"

// Value get_base0_addr returns when the configuration file cannot be opened.
inline constexpr unsigned long kUnreadableBar0 = ~0UL;

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

// initPCIeDevice's plan for every GPU, ascending, with the functions the
// enumeration skipped, read-only: nothing is written and every configuration
// file is opened for reading only. The containers are filled as
// initPCIeDevice fills them. A user other than root gets no probe (setpci
// cannot read the PCI Express capability for such a user) and every GPU's
// step unknown.
std::vector<GpuStep> planDiscovery(bool force, bool as_root);

// BAR0 base address with its four flag bits cleared: a 64-bit memory BAR
// (type bits 2:1 == 0b10) takes BAR1 as its high half, any other BAR0 is its
// own dword only. All ones when the configuration file cannot be opened or
// BAR0 reads all ones.
unsigned long get_base0_addr(std::filesystem::path device);

// get_base0_addr's decoding of the BAR0 and BAR1 registers' values.
unsigned long decodeBar0(uint32_t bar0, uint32_t bar1);

// False for a BAR0 the firmware never assigned (0) or one that reads all ones.
bool isAssignedBar0(unsigned long bar0);

// Offset of the function's PCI Express capability (version 2, endpoint or
// root/switch port); 0 when the list has none, -1 when `config` cannot be opened.
int get_cap_base_addr(std::filesystem::path device);
