#include "tests/bench/bench_fabric.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace bench {
namespace {

constexpr unsigned kFirstRootBus = 0x10;
constexpr unsigned kRootBusStride = 0x20;  // buses one switch may use, its board included
constexpr unsigned kGuestGpusPerBus = 24;
constexpr unsigned kFirstGuestDevice = 5;
// Host BAR0 bases: distinct across domains and buses.
constexpr uint64_t kHostBarBase = 0x100000000000;
constexpr unsigned kBarDomainShift = 36;
constexpr unsigned kBarBusShift = 28;

std::string bdfOf(unsigned domain, unsigned bus, unsigned device) {
  char text[32];
  snprintf(text, sizeof text, "%04x:%02x:%02x.0", domain, bus, device);
  return text;
}

std::string hostBridgeOf(unsigned domain, unsigned bus) {
  char text[32];
  snprintf(text, sizeof text, "pci%04x:%02x", domain, bus);
  return text;
}

// Where one switch sits: its domain and the root bus of its host bridge.
struct SwitchPlace {
  unsigned domain;
  unsigned root_bus;
};

SwitchPlace placeSwitch(size_t index) {
  return {static_cast<unsigned>(index / kSwitchesPerDomain),
          kFirstRootBus + static_cast<unsigned>(index % kSwitchesPerDomain) * kRootBusStride};
}

sim::GpuOptions gpuOptions(unsigned domain, unsigned bus, uint16_t device) {
  sim::GpuOptions options;
  options.device = device;
  options.bar0 = kHostBarBase | uint64_t{domain} << kBarDomainShift | uint64_t{bus} << kBarBusShift;
  return options;
}

// A dual-chip board below the outer switch's downstream port `port`: a board
// switch on `bus`, its two ports on the next bus, one chip on each of the two
// buses after that. ACS goes off above the board: on `port` and on `root_port`.
// The board's own ports carry no ACS capability (boards differ; with one that
// keeps ReqRedir there, -s would rightly call the fabric not ready after -w).
void addBoard(sim::Fabric& host, HostLayout& layout, const std::string& port,
              const std::string& root_port, unsigned domain, unsigned bus) {
  const std::string upstream = bdfOf(domain, bus, 0);
  host.addUpstreamPort(upstream, port);
  for (unsigned chip = 0; chip < kChipsPerBoard; ++chip) {
    const std::string down = bdfOf(domain, bus + 1, chip);
    const unsigned chip_bus = bus + 2 + chip;
    const std::string gpu = bdfOf(domain, chip_bus, 0);
    sim::PortOptions own_port;
    own_port.acs = false;
    host.addDownstreamPort(down, upstream, own_port);
    host.addGpu(gpu, down, gpuOptions(domain, chip_bus, sim::kDualChipDevice));
    layout.groups.back().push_back(gpu);
  }
  layout.acs_ports.insert({port, root_port});
  layout.dual_chip_gpus += kChipsPerBoard;
}

// One outer switch below a root port of its own host bridge, with `gpus`
// GPUs: single-chip ones, one per downstream port, then maybe a board.
void addSwitch(sim::Fabric& host, HostLayout& layout, size_t index, size_t gpus) {
  const auto [domain, bus] = placeSwitch(index);
  const bool board = index % kBoardEverySwitches == 0 && gpus >= kChipsPerBoard;
  const unsigned singles = static_cast<unsigned>(gpus - (board ? kChipsPerBoard : 0));
  const std::string root_port = bdfOf(domain, bus, 0);
  const std::string upstream = bdfOf(domain, bus + 1, 0);
  host.addRootPort(root_port, hostBridgeOf(domain, bus));
  host.addUpstreamPort(upstream, root_port);
  layout.groups.emplace_back();
  layout.domains.insert(domain);
  for (unsigned port = 0; port < singles + (board ? 1 : 0); ++port)
    host.addDownstreamPort(bdfOf(domain, bus + 2, port), upstream);
  for (unsigned i = 0; i < singles; ++i) {
    const std::string port = bdfOf(domain, bus + 2, i);
    const std::string gpu = bdfOf(domain, bus + 3 + i, 0);
    host.addGpu(gpu, port, gpuOptions(domain, bus + 3 + i, sim::kSingleChipDevice));
    layout.groups.back().push_back(gpu);
    layout.acs_ports.insert(port);
  }
  if (board)
    addBoard(host, layout, bdfOf(domain, bus + 2, singles), root_port, domain, bus + 3 + singles);
}

}  // namespace

HostLayout buildHostFabric(sim::Fabric& host, size_t gpus) {
  HostLayout layout;
  layout.gpus = gpus;
  for (size_t index = 0, left = gpus; left > 0; ++index) {
    const size_t here = std::min(left, kGpusPerSwitch);
    addSwitch(host, layout, index, here);
    left -= here;
  }
  return layout;
}

std::vector<std::pair<std::string, std::string>> buildGuestFabric(sim::Fabric& guest,
                                                                  const sim::Fabric& host) {
  std::vector<std::pair<std::string, std::string>> pairs;
  unsigned slot = 0;
  for (const auto& gpu : host.gpus()) {
    const std::string bdf =
        bdfOf(0, slot / kGuestGpusPerBus, kFirstGuestDevice + slot % kGuestGpusPerBus);
    guest.addGuestGpu(bdf, host, gpu);
    pairs.emplace_back(bdf, gpu);
    ++slot;
  }
  return pairs;
}

size_t driverCommands(const HostLayout& layout) {
  size_t commands = 0;
  for (const auto& group : layout.groups) commands += group.size() * group.size();
  return commands;
}

}  // namespace bench
