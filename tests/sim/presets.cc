#include "tests/sim/presets.h"

#include <cstdio>
#include <set>
#include <stdexcept>

namespace sim {
namespace {

// kBoardPort: a downstream port of a dual-chip board's own switch, with or
// without an ACS capability as the preset asks.
enum class Part { kRootPort, kUpstream, kDownstream, kBoardPort, kGpu, kDualChipGpu, kOther };

struct Row {
  Part part;
  const char* bdf;
  const char* parent;
};

// The host preset, parents before children.
// clang-format off
constexpr Row kHostLayout[] = {
    //     part            function        below
    // switch A: two single-chip GPUs and a network card
    {Part::kRootPort,     "0000:3a:00.0", "pci0000:3a"},
    {Part::kUpstream,     "0000:3b:00.0", "0000:3a:00.0"},
    {Part::kDownstream,   "0000:3c:08.0", "0000:3b:00.0"},
    {Part::kDownstream,   "0000:3c:10.0", "0000:3b:00.0"},
    {Part::kDownstream,   "0000:3c:18.0", "0000:3b:00.0"},
    {Part::kGpu,          "0000:3d:00.0", "0000:3c:08.0"},
    {Part::kGpu,          "0000:3e:00.0", "0000:3c:10.0"},
    {Part::kOther,        "0000:3f:00.0", "0000:3c:18.0"},
    // switch B: two single-chip GPUs
    {Part::kRootPort,     "0000:5d:00.0", "pci0000:5d"},
    {Part::kUpstream,     "0000:5e:00.0", "0000:5d:00.0"},
    {Part::kDownstream,   "0000:5f:08.0", "0000:5e:00.0"},
    {Part::kDownstream,   "0000:5f:10.0", "0000:5e:00.0"},
    {Part::kGpu,          "0000:60:00.0", "0000:5f:08.0"},
    {Part::kGpu,          "0000:61:00.0", "0000:5f:10.0"},
    // outer switch C carrying a dual-chip board with a switch of its own
    {Part::kRootPort,     "0000:17:00.0", "pci0000:17"},
    {Part::kUpstream,     "0000:18:00.0", "0000:17:00.0"},
    {Part::kDownstream,   "0000:19:00.0", "0000:18:00.0"},
    {Part::kUpstream,     "0000:1a:00.0", "0000:19:00.0"},
    {Part::kBoardPort,    "0000:1b:00.0", "0000:1a:00.0"},
    {Part::kBoardPort,    "0000:1b:08.0", "0000:1a:00.0"},
    {Part::kDualChipGpu,  "0000:1c:00.0", "0000:1b:00.0"},
    {Part::kDualChipGpu,  "0000:1d:00.0", "0000:1b:08.0"},
    // a GPU directly below a root port: in no group
    {Part::kRootPort,     "0000:85:00.0", "pci0000:85"},
    {Part::kGpu,          "0000:86:00.0", "0000:85:00.0"},
};

// One switch with four single-chip GPUs: a group larger than one guest's share.
constexpr Row kQuadHostLayout[] = {
    {Part::kRootPort,     "0000:3a:00.0", "pci0000:3a"},
    {Part::kUpstream,     "0000:3b:00.0", "0000:3a:00.0"},
    {Part::kDownstream,   "0000:3c:00.0", "0000:3b:00.0"},
    {Part::kDownstream,   "0000:3c:08.0", "0000:3b:00.0"},
    {Part::kDownstream,   "0000:3c:10.0", "0000:3b:00.0"},
    {Part::kDownstream,   "0000:3c:18.0", "0000:3b:00.0"},
    {Part::kGpu,          "0000:3d:00.0", "0000:3c:00.0"},
    {Part::kGpu,          "0000:3e:00.0", "0000:3c:08.0"},
    {Part::kGpu,          "0000:3f:00.0", "0000:3c:10.0"},
    {Part::kGpu,          "0000:40:00.0", "0000:3c:18.0"},
};
// clang-format on

constexpr char kGuestBdfFormat[] = "0000:00:%02x.0";
constexpr unsigned kFirstGuestDevice = 5;
constexpr uint64_t kOld32BitBar0 = 0x90000000;
constexpr uint32_t kOldBar1 = 0x91;
constexpr uint64_t kFirstSerial = 0x00a0b1c2d3e4f500;  // real GPUs carry a serial number
constexpr char kQ35RootPortFormat[] = "0000:00:%02x.0";
constexpr char kQ35GpuFormat[] = "0000:%02x:00.0";
constexpr char kQ35HostBridge[] = "pci0000:00";
constexpr unsigned kFirstQ35RootPort = 0x10;
const std::set<unsigned> kDualChipDevices = {0x0003, 0x0007, 0x000B, 0x000F};

void addRow(Fabric& fabric, const Row& row, bool board_acs = false) {
  PortOptions board_port;
  board_port.acs = board_acs;
  switch (row.part) {
    case Part::kRootPort:
      fabric.addRootPort(row.bdf, row.parent);
      break;
    case Part::kUpstream:
      fabric.addUpstreamPort(row.bdf, row.parent);
      break;
    case Part::kDownstream:
      fabric.addDownstreamPort(row.bdf, row.parent);
      break;
    case Part::kBoardPort:
      fabric.addDownstreamPort(row.bdf, row.parent, board_port);
      break;
    case Part::kGpu:
      fabric.addGpu(row.bdf, row.parent);
      break;
    case Part::kDualChipGpu: {
      GpuOptions chip;
      chip.device = kDualChipDevice;
      fabric.addGpu(row.bdf, row.parent, chip);
      break;
    }
    case Part::kOther:
      fabric.addFunction(row.bdf, row.parent);
      break;
  }
}

std::string format(const char* pattern, unsigned long long a, unsigned long long b = 0,
                   unsigned long long c = 0) {
  char text[128];
  snprintf(text, sizeof text, pattern, a, b, c);
  return text;
}

std::string roleOf(const Fabric& fabric, const std::string& bdf, unsigned device) {
  const Kind kind = fabric.kindOf(bdf);
  if (kind == Kind::kGpu) return kDualChipDevices.count(device) ? "GPU (dual-chip board)" : "GPU";
  if (kind == Kind::kVirtualFunction) return "virtual function";
  return kind == Kind::kOther ? "other function" : portRole(kind);
}

std::string stateOf(const Fabric& fabric, const std::string& bdf) {
  if (fabric.kindOf(bdf) == Kind::kVirtualFunction) return "vendor and device read FFFF";
  if (fabric.readConfig(bdf, 0, 4) == 0xFFFFFFFF) return "not answering (config reads FF)";
  switch (fabric.kindOf(bdf)) {
    case Kind::kRootPort:
    case Kind::kUpstreamPort:
    case Kind::kDownstreamPort:
      return fabric.acsOffset(bdf) < 0 ? "no ACS"
                                       : format("ACS Ctrl %04llx", fabric.acsControl(bdf));
    case Kind::kGpu:
      return format("Cmd %04llx  PM %04llx  BAR0 %llx", fabric.command(bdf),
                    fabric.pmControl(bdf).value_or(0), fabric.bar0(bdf));
    case Kind::kVirtualFunction:
    case Kind::kOther:
      break;
  }
  return format("Cmd %04llx", fabric.command(bdf));
}

void appendLine(const Fabric& fabric, const std::string& bdf, int depth, std::string& out) {
  unsigned vendor = static_cast<unsigned>(fabric.readConfig(bdf, 0, 2));
  unsigned device = static_cast<unsigned>(fabric.readConfig(bdf, 2, 2));
  std::string name = std::string(static_cast<size_t>(depth) * 2, ' ') + bdf;
  char line[256];
  snprintf(line, sizeof line, "%-28s %-24s %04x:%04x  %s\n", name.c_str(),
           roleOf(fabric, bdf, device).c_str(), vendor, device, stateOf(fabric, bdf).c_str());
  out += line;
  for (const auto& child : fabric.childrenOf(bdf)) appendLine(fabric, child, depth + 1, out);
}

}  // namespace

void buildHostPreset(Fabric& host) {
  for (const Row& row : kHostLayout) addRow(host, row);
  host.setHypervisorFlag(false);
}

void buildQuadHostPreset(Fabric& host) {
  for (const Row& row : kQuadHostLayout) addRow(host, row);
  host.setHypervisorFlag(false);
}

void buildRealHostPreset(Fabric& host) {
  for (const Row& row : kHostLayout) addRow(host, row, true);  // the board's own ports keep ACS
  PortOptions bare;
  bare.bus_link = false;
  host.addRootPort("10000:00:01.0", "pci10000:00");
  host.addUpstreamPort("10000:01:00.0", "10000:00:01.0");
  host.addDownstreamPort("10000:02:08.0", "10000:01:00.0", bare);
  host.addDownstreamPort("10000:02:10.0", "10000:01:00.0");
  GpuOptions serial;
  serial.serial = kFirstSerial;
  host.addGpu("10000:03:00.0", "10000:02:08.0", serial);
  serial.serial++;
  host.addGpu("10000:04:00.0", "10000:02:10.0", serial);
  host.addRootPort("0000:c0:00.0", "pci0000:c0");
  PortOptions no_acs;
  no_acs.acs = false;
  host.addSwitch("0000:c0:00.0", "0000:c1:00.0", {"0000:c2:08.0", "0000:c2:10.0"}, no_acs);
  GpuOptions old;
  old.bar0 = kOld32BitBar0;
  old.bar0_32bit = true;
  old.bar1 = kOldBar1;
  old.serial = ++serial.serial;
  host.addGpu("0000:c3:00.0", "0000:c2:08.0", old);
  serial.serial++;
  host.addGpu("0000:c4:00.0", "0000:c2:10.0", serial);
  for (const char* gpu : {"0000:c3:00.0", "0000:c4:00.0"})
    host.addFunction(std::string(gpu).replace(11, 1, "1"), host.parentOf(gpu), kGpuAudio);
  host.putCapabilityFirst("0000:c3:00.0", kCapIdMsi);
  host.putCapabilityFirst("0000:c4:00.0", kCapIdVendor);
}

bool isGroupedGpu(const Fabric& fabric, const std::string& gpu) {
  std::string parent = fabric.parentOf(gpu);
  return fabric.has(parent) && fabric.has(fabric.parentOf(parent));
}

std::vector<std::pair<std::string, std::string>> buildGuestPreset(
    Fabric& guest, const Fabric& host, const std::set<std::string>& only) {
  for (const auto& gpu : only)
    if (!host.has(gpu) || host.kindOf(gpu) != Kind::kGpu || !isGroupedGpu(host, gpu))
      throw std::invalid_argument(gpu + " is no GPU below a switch of the host fabric");
  std::vector<std::pair<std::string, std::string>> pairs;
  guest.setHypervisorFlag(true);
  unsigned device = kFirstGuestDevice;
  for (const auto& gpu : host.gpus()) {
    if (!isGroupedGpu(host, gpu) || (!only.empty() && !only.count(gpu))) continue;
    std::string bdf = format(kGuestBdfFormat, device++);
    guest.addGuestGpu(bdf, host, gpu);
    pairs.emplace_back(bdf, gpu);
  }
  return pairs;
}

std::vector<std::pair<std::string, std::string>> buildQ35GuestPreset(Fabric& guest,
                                                                     const Fabric& host) {
  std::vector<std::pair<std::string, std::string>> pairs;
  guest.setHypervisorFlag(true);
  unsigned slot = 0;
  for (const auto& gpu : host.gpus()) {
    if (!isGroupedGpu(host, gpu)) continue;
    std::string port = format(kQ35RootPortFormat, kFirstQ35RootPort + slot);
    std::string bdf = format(kQ35GpuFormat, ++slot);
    guest.addRootPort(port, kQ35HostBridge);
    guest.addGuestGpu(bdf, host, gpu, 0, port);
    pairs.emplace_back(bdf, gpu);
  }
  return pairs;
}

std::string portRole(Kind kind) {
  switch (kind) {
    case Kind::kRootPort:
      return "root port";
    case Kind::kUpstreamPort:
      return "switch upstream port";
    case Kind::kDownstreamPort:
      return "switch downstream port";
    default:
      return "function";
  }
}

std::string fabricTable(const Fabric& fabric) {
  char header[256];
  snprintf(header, sizeof header, "%-28s %-24s %-9s  %s\n", "FUNCTION", "ROLE", "ID", "STATE");
  std::string out = header;
  for (const auto& bridge : fabric.hostBridges()) {
    out += bridge + "\n";
    for (const auto& child : fabric.childrenOf(bridge)) appendLine(fabric, child, 1, out);
  }
  return out;
}

}  // namespace sim
