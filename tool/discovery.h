// GPU discovery and the configuration-space readers built on sysfs `config`.
#pragma once

#include <filesystem>

// Value get_base0_addr returns when the configuration file cannot be opened.
inline constexpr unsigned long kUnreadableBar0 = ~0UL;

// Finds the supported GPUs (fills gpu_bus_path_set and gpu_bus_name_set) and
// forces each GPU's Command register to 0x0006 and the word four bytes into
// its first capability to 0x0008.
void initPCIeDevice();

// BAR0 base address: config bytes 0x10..0x17, little-endian, low four bits
// cleared; all ones when the configuration file cannot be opened.
unsigned long get_base0_addr(std::filesystem::path device);

// Offset of the function's PCI Express capability (version 2, endpoint or
// root/switch port); 0 when the list has none, -1 when `config` cannot be opened.
int get_cap_base_addr(std::filesystem::path device);
