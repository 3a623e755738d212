// The configuration-space readers built on sysfs `config`: a GPU's BAR0 and a
// function's PCI Express capability, read without a process.
#pragma once

#include <cstdint>
#include <filesystem>

// Value get_base0_addr returns when the configuration file cannot be opened.
inline constexpr unsigned long kUnreadableBar0 = ~0UL;

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
