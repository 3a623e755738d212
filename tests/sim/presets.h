// Ready-made fabrics for the demo and for tests, and a table that shows a
// fabric with the live values of the registers the tools change.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/sim/fabric.h"

namespace sim {

// Host: switch 0000:3b:00.0 with GPUs 0000:3d:00.0 and 0000:3e:00.0 (and a
// network card of another vendor on a third downstream port), switch
// 0000:5e:00.0 with GPUs 0000:60:00.0 and 0000:61:00.0, outer switch
// 0000:18:00.0 carrying a dual-chip board (board switch 0000:1a:00.0, chips
// 0000:1c:00.0 and 0000:1d:00.0, the board's own downstream ports 0000:1b:00.0
// and 0000:1b:08.0 without an ACS capability), and GPU 0000:86:00.0 directly
// below root port 0000:85:00.0. Its CPU has no hypervisor flag
// (setHypervisorFlag), as every host preset's.
void buildHostPreset(Fabric& host);

// Host with one group of four: switch 0000:3b:00.0 (below root port
// 0000:3a:00.0) with GPUs 0000:3d:00.0, 0000:3e:00.0, 0000:3f:00.0 and
// 0000:40:00.0, one below each of its downstream ports.
void buildQuadHostPreset(Fabric& host);

// The host preset, its board's own ports with an ACS capability that keeps
// ReqRedir (ACS Control 001d, as many boards come), plus what snapshots of
// real servers show: a VMD-style
// domain 10000 (switch 10000:01:00.0, GPUs 10000:03:00.0 and 10000:04:00.0
// below a bare downstream port without a bus/pci/devices link and a
// regular one) and a switch 0000:c1:00.0 whose downstream ports have no ACS
// capability, with GPU 0000:c3:00.0 (a 32-bit BAR0 at 0x90000000 beside a BAR1
// of 0x91, MSI first in its capability list) and GPU 0000:c4:00.0 (a
// vendor-specific capability first), each with an audio function at .1. The
// four GPUs outside the host preset carry Device Serial Numbers.
void buildRealHostPreset(Fabric& host);

// Guest of a host fabric: one GPU on the root bus pci0000:00 per host GPU
// that sits below a switch, 0000:00:05.0, 0000:00:06.0, ... in host BDF
// order, passed through (addGuestGpu), its CPU with the hypervisor flag.
// Returns the {guest, host} BDF pairs.
// With `only`, just those host GPUs (each must sit below a switch, else
// std::invalid_argument): a guest given part of a group.
std::vector<std::pair<std::string, std::string>> buildGuestPreset(
    Fabric& guest, const Fabric& host, const std::set<std::string>& only = {});

// The same guest laid out like a q35 machine: each GPU behind a root port of
// its own (root ports 0000:00:10.0, 0000:00:11.0, ... on pci0000:00, GPUs
// 0000:01:00.0, 0000:02:00.0, ...).
std::vector<std::pair<std::string, std::string>> buildQ35GuestPreset(Fabric& guest,
                                                                     const Fabric& host);

// True for a GPU below a switch (its grandparent is not a host bridge): a GPU
// the host tool puts into a group.
bool isGroupedGpu(const Fabric& fabric, const std::string& gpu);

// "root port", "switch upstream port", "switch downstream port"; "function"
// for any other kind.
std::string portRole(Kind kind);

// The fabric as an indented tree, one function a line, with role, IDs and the
// live Command, capability word, BAR0 (GPUs) and ACS Control (ports).
std::string fabricTable(const Fabric& fabric);

}  // namespace sim
