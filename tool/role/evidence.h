// The facts the role rests on, read strictly read-only: each GPU's place in
// the PCI tree and the exchange table in its window (through a read-only
// mapping), and the hypervisor flag of /proc/cpuinfo.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tool/role/role.h"
#include "tool/window_table.h"

inline constexpr const char* kCpuInfo = "/proc/cpuinfo";

// The role --host or --guest gives for the rest of the run; nothing (the
// default) lets the evidence decide.
void setGivenRole(std::optional<Role> role);

// The evidence of the GPU at `device` (its /sys/devices path, whose last
// component is its BDF), whose window holds `table`.
GpuSign gpuSign(const std::filesystem::path& device, const WindowTable& table);

// Whether a "flags" line of /proc/cpuinfo's text names "hypervisor".
bool hasHypervisorFlag(const std::string& cpuinfo);

// The CPU's hypervisor flag as /proc/cpuinfo gives it.
CpuSign cpuSign();

// The role given (setGivenRole), else the one decideRole finds for the GPUs at
// `devices` and the CPU, their windows read through `windows`.
RoleDecision findRole(const std::vector<std::filesystem::path>& devices, WindowReads& windows);
RoleDecision findRole(const std::vector<std::filesystem::path>& devices);
