// Fabrics of a chosen size for the benchmark: switches of at most eight GPUs,
// some of them carrying a dual-chip board, spread over several PCI domains
// once one domain's bus numbers run out; and the passthrough guest of such a
// host. The layout also tells what a run over it needs by design.
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tests/sim/fabric.h"

namespace bench {

constexpr size_t kGpusPerSwitch = 8;
constexpr size_t kSwitchesPerDomain = 8;
constexpr size_t kBoardEverySwitches = 2;  // switches 0, 2, 4, ... carry a dual-chip board
constexpr size_t kChipsPerBoard = 2;

// What the host fabric holds, as built.
struct HostLayout {
  std::vector<std::vector<std::string>> groups;  // the GPUs below each outer switch
  std::set<std::string> acs_ports;               // ports the analysis collects for ACS
  std::set<unsigned> domains;
  size_t gpus = 0;
  size_t dual_chip_gpus = 0;
};

// Fills an empty host fabric with `gpus` GPUs.
HostLayout buildHostFabric(sim::Fabric& host, size_t gpus);

// Passes every host GPU through to an empty guest fabric, on the guest's root
// buses in host BDF order. Returns the {guest GPU, host GPU} pairs.
std::vector<std::pair<std::string, std::string>> buildGuestFabric(sim::Fabric& guest,
                                                                  const sim::Fabric& host);

// Programs the driver must run for one watch pass: one per (guest GPU, member
// of its group) pair.
size_t driverCommands(const HostLayout& layout);

}  // namespace bench
