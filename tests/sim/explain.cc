#include "tests/sim/explain.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>

#include "tests/sim/presets.h"

namespace sim {
namespace {

// printf into a std::string.
template <typename... Args>
std::string format(const char* pattern, Args... args) {
  char text[512];
  snprintf(text, sizeof text, pattern, args...);
  return text;
}

std::string hex16(uint16_t value) { return format("%04x", value); }

// P2P Request Redirect, Completion Redirect and Egress Control: the ACS Control
// bits that send requests between GPUs up towards the root.
constexpr uint16_t kRedirectBits = 0x002c;

std::string joined(const std::set<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
  return out;
}

// Where a GPU sits and what p2ptool makes of that place.
struct Placement {
  std::string where;
  std::string group;                         // empty: in no group
  std::map<std::string, std::string> ports;  // ports p2ptool switches ACS off on, with why
};

// The chain of bridges above bdf, nearest first, ending with its host bridge.
std::vector<std::string> ancestors(const Fabric& fabric, const std::string& bdf) {
  std::vector<std::string> chain;
  for (std::string at = fabric.parentOf(bdf); !at.empty(); at = fabric.parentOf(at)) {
    chain.push_back(at);
    if (!fabric.has(at)) break;
  }
  return chain;
}

Placement placementOf(const Fabric& fabric, const std::string& gpu) {
  const auto up = ancestors(fabric, gpu);
  auto bridge = [&](size_t i) { return i < up.size() && fabric.has(up[i]); };
  if (!bridge(0)) return {"on root bus " + up.at(0) + " (passed through)", "", {}};
  if (fabric.kindOf(up[0]) == Kind::kRootPort)
    return {"directly below root port " + up[0] + ", no switch", "", {}};
  if (bridge(2) && fabric.kindOf(up[2]) == Kind::kDownstreamPort && bridge(4)) {
    Placement p{
        "chip of a dual-chip board (board switch " + up[1] + ", on outer switch " + up[3] + ")",
        bridge(5) ? up[5] : up[3],
        {}};
    p.ports[up[2]] = "outer switch's downstream port above the dual-chip board";
    p.ports[up[4]] = "port above the outer switch of a dual-chip board";
    return p;
  }
  Placement p{"below switch " + up.at(1) + " (downstream port " + up[0] + ")", up[1], {}};
  p.ports[up[0]] = "downstream port directly above a single-chip GPU";
  return p;
}

// For every port p2ptool picks: why, and for which GPUs.
std::map<std::string, std::pair<std::string, std::set<std::string>>> pickedPorts(
    const Fabric& fabric) {
  std::map<std::string, std::pair<std::string, std::set<std::string>>> picked;
  for (const auto& gpu : fabric.gpus())
    for (const auto& [port, why] : placementOf(fabric, gpu).ports) {
      picked[port].first = why;
      picked[port].second.insert(gpu);
    }
  return picked;
}

bool hasGpuBelow(const Fabric& fabric, const std::string& bdf) {
  for (const auto& child : fabric.childrenOf(bdf))
    if (fabric.kindOf(child) == Kind::kGpu || hasGpuBelow(fabric, child)) return true;
  return false;
}

std::string whyLeftAlone(const Fabric& fabric, const std::string& port) {
  if (!hasGpuBelow(fabric, port)) return "no GPU below it";
  switch (fabric.kindOf(port)) {
    case Kind::kUpstreamPort:
      return "an upstream port: p2ptool picks only downstream and root ports";
    case Kind::kRootPort:
      for (const auto& child : fabric.childrenOf(port))
        if (fabric.kindOf(child) == Kind::kGpu)
          return "GPU " + child + " sits directly below it: no switch, so no peers";
      return "root port above a switch of single-chip GPUs: their requests meet in the switch";
    case Kind::kDownstreamPort:
      return "inside a dual-chip board's own switch: p2ptool switches the ports around the board";
    default:
      return "not a port";
  }
}

std::string acsMeaning(uint16_t value) {
  static const char* const kBits[] = {"Source Validation",    "Translation Blocking",
                                      "P2P Request Redirect", "P2P Completion Redirect",
                                      "Upstream Forwarding",  "P2P Egress Control",
                                      "Direct Translated P2P"};
  std::string on;
  for (unsigned bit = 0; bit < 7; ++bit)
    if (value & (1u << bit)) on += (on.empty() ? "" : ", ") + std::string(kBits[bit]);
  if (on.empty()) return "all off: requests between GPUs go straight across the switch";
  if ((value & kRedirectBits) == 0)
    return on + " on, no redirection: requests between GPUs go straight across the switch";
  return on + " on (requests between GPUs are sent up towards the root)";
}

std::string commandMeaning(uint16_t command) {
  return format("Command %04x (memory decoding %s, bus mastering %s)", command,
                command & 0x2 ? "on" : "off", command & 0x4 ? "on" : "off");
}

// The Power Management Control/Status register.
std::string powerMeaning(std::optional<uint16_t> word) {
  if (!word) return "no power management capability";
  return format("power word %04x (D%u, No_Soft_Reset %s)", *word, *word & 0x3,
                *word & 0x8 ? "set" : "clear");
}

// Packed BDF number -> GPU BDF of the fabric.
std::map<uint64_t, std::string> gpusByPackedBdf(const Fabric& fabric) {
  std::map<uint64_t, std::string> names;
  for (const auto& gpu : fabric.gpus()) names[packBdf(gpu)] = gpu;
  return names;
}

std::string nameOf(const std::map<uint64_t, std::string>& names, uint64_t packed) {
  auto it = names.find(packed);
  return it != names.end() ? it->second
                           : format("? (no GPU packs to %llx)", (unsigned long long)packed);
}

}  // namespace

AcsSnapshot acsSnapshot(const Fabric& fabric) {
  AcsSnapshot snapshot;
  for (const auto& bdf : fabric.functions())
    if (fabric.kindOf(bdf) != Kind::kGpu && fabric.acsOffset(bdf) >= 0)
      snapshot[bdf] = fabric.acsControl(bdf);
  return snapshot;
}

std::string formatSnapshot(const AcsSnapshot& snapshot) {
  std::string out;
  for (const auto& [bdf, value] : snapshot) out += bdf + " " + hex16(value) + "\n";
  return out;
}

AcsSnapshot parseSnapshot(const std::string& text) {
  AcsSnapshot snapshot;
  std::istringstream in(text);
  std::string bdf, value;
  while (in >> bdf >> value) snapshot[bdf] = static_cast<uint16_t>(std::stoul(value, nullptr, 16));
  if (!in.eof()) throw std::invalid_argument("malformed ACS snapshot");
  return snapshot;
}

std::string explainAcs(const Fabric& fabric, const AcsSnapshot& before) {
  const auto picked = pickedPorts(fabric);
  std::set<uint16_t> values;
  std::string out = format("  %-13s %-23s %-6s %-5s\n", "PORT", "ROLE", "BEFORE", "NOW");
  for (const auto& [port, now] : acsSnapshot(fabric)) {
    auto was = before.find(port);
    const bool changed = was != before.end() && was->second != now;
    auto pick = picked.find(port);
    std::string verdict;
    if (pick != picked.end())
      verdict = std::string(changed ? "changed: " : "NOT changed, yet picked: ") +
                pick->second.first + " (" + joined(pick->second.second) + ")";
    else
      verdict = std::string(changed ? "changed, yet not picked: " : "left alone: ") +
                whyLeftAlone(fabric, port);
    out +=
        format("  %-13s %-23s %-6s %-5s %s\n", port.c_str(), portRole(fabric.kindOf(port)).c_str(),
               was == before.end() ? "?" : hex16(was->second).c_str(), hex16(now).c_str(),
               verdict.c_str());
    if (was != before.end()) values.insert(was->second);
    values.insert(now);
  }
  for (uint16_t value : values)
    out += "  ACS Control " + hex16(value) + ": " + acsMeaning(value) + "\n";
  return out;
}

std::string explainGpus(const Fabric& fabric) {
  std::map<std::string, std::set<std::string>> groups;
  for (const auto& gpu : fabric.gpus()) groups[placementOf(fabric, gpu).group].insert(gpu);
  std::string out;
  for (const auto& gpu : fabric.gpus()) {
    const Placement p = placementOf(fabric, gpu);
    out += format("  %s  BAR0 %llx, %s\n", gpu.c_str(), (unsigned long long)fabric.bar0(gpu),
                  p.where.c_str());
    if (p.group.empty() && p.where.find("passed through") == std::string::npos)
      out += "                in no group: p2ptool leaves it out of every exchange table\n";
    else if (!p.group.empty())
      out += "                group " + p.group + ": " + joined(groups[p.group]) + "\n";
    out += "                " + commandMeaning(fabric.command(gpu)) + ", " +
           powerMeaning(fabric.pmControl(gpu)) + "\n";
  }
  return out;
}

std::string explainArea(const Fabric& host, const std::vector<uint64_t>& words) {
  if (words.empty()) return "  (no words)\n";
  const auto names = gpusByPackedBdf(host);
  const uint64_t count = words[0] >> 32;
  std::string out = format("  word 0  %016llx  self %s (low half); %llu words in all (high half)\n",
                           (unsigned long long)words[0],
                           nameOf(names, words[0] & 0xffffffff).c_str(), (unsigned long long)count);
  for (size_t i = 1; i < words.size(); ++i) {
    const size_t peer = (i + 1) / 2;
    const std::string meaning =
        i % 2 ? format("peer %zu: %s", peer, nameOf(names, words[i]).c_str())
              : format("peer %zu: host BAR0 address %llx", peer, (unsigned long long)words[i]);
    out += format("  word %zu  %016llx  %s\n", i, (unsigned long long)words[i], meaning.c_str());
  }
  if (count != words.size()) out += format("  (%zu words present)\n", words.size());
  return out;
}

namespace {

// The host GPU a guest GPU passes through: the one sharing its memory file.
std::string hostTwin(const Fabric& guest, const Fabric& host, const std::string& gpu) {
  struct stat mine {
  }, theirs{};
  if (stat((guest.dir(gpu) + "/resource0").c_str(), &mine) != 0) return "?";
  for (const auto& candidate : host.gpus())
    if (stat((host.dir(candidate) + "/resource0").c_str(), &theirs) == 0 &&
        theirs.st_ino == mine.st_ino && theirs.st_dev == mine.st_dev)
      return candidate;
  return "?";
}

struct GuestGpu {
  std::string bdf, host, minor;
  std::vector<std::string> lines;
};

std::vector<GuestGpu> boundGpus(const Fabric& guest, const Fabric& host, const std::string& logs) {
  std::vector<GuestGpu> gpus;
  for (const auto& gpu : guest.gpus()) {
    std::ifstream minor_file(guest.dir(gpu) + "/minor");
    GuestGpu g{gpu, hostTwin(guest, host, gpu), "", {}};
    if (!std::getline(minor_file, g.minor)) continue;
    std::ifstream log(logs + "/itr-" + gpu + ".log");
    for (std::string line; std::getline(log, line);) g.lines.push_back(line);
    gpus.push_back(g);
  }
  return gpus;
}

// One "pt_p2p_cfg <minor> <ADDRESS>" line, checked against the fabrics.
struct PeerLine {
  std::string minor;  // set when the line names a guest GPU's minor and its right address
  std::string meaning;
};

PeerLine readPeerLine(const std::vector<GuestGpu>& gpus, const Fabric& host,
                      const std::string& line) {
  std::istringstream in(line);
  std::string keyword, minor, address;
  if (!(in >> keyword >> minor >> address) || keyword != "pt_p2p_cfg")
    return {"", "not a peer line"};
  for (const auto& peer : gpus) {
    if (peer.minor != minor) continue;
    const uint64_t bar0 = peer.host == "?" ? 0 : host.bar0(peer.host);
    const std::string named =
        "peer minor " + minor + " = " + peer.bdf + " (host " + peer.host + ")";
    if (address.find_first_not_of("0123456789ABCDEF") == std::string::npos &&
        std::stoull(address, nullptr, 16) == bar0)
      return {minor, named + ", the right host BAR0"};
    return {"", named + format(", WRONG: its host BAR0 is %llX", (unsigned long long)bar0)};
  }
  return {"", "no GPU of the guest has minor " + minor};
}

// Minors of the guest GPUs in gpu's group (none for a GPU in no group).
std::set<std::string> groupMinors(const std::vector<GuestGpu>& gpus, const Fabric& host,
                                  const GuestGpu& gpu) {
  std::set<std::string> minors;
  if (gpu.host == "?") return minors;
  const std::string group = placementOf(host, gpu.host).group;
  for (const auto& peer : gpus)
    if (!group.empty() && peer.host != "?" && placementOf(host, peer.host).group == group)
      minors.insert(peer.minor);
  return minors;
}

}  // namespace

std::string explainReceived(const Fabric& guest, const Fabric& host, const std::string& log_dir,
                            bool summary) {
  const auto gpus = boundGpus(guest, host, log_dir);
  std::string out;
  for (const auto& gpu : gpus) {
    const std::string title = gpu.bdf + " (host " + gpu.host + ", minor " + gpu.minor + ")";
    if (!summary)
      out += "  " + title + " received " + std::to_string(gpu.lines.size()) + " lines:\n";
    std::set<std::string> learnt;
    for (const auto& line : gpu.lines) {
      const PeerLine peer = readPeerLine(gpus, host, line);
      if (!peer.minor.empty()) learnt.insert(peer.minor);
      if (!summary) out += "      " + line + "   " + peer.meaning + "\n";
    }
    if (!summary) continue;
    const std::set<std::string> expected = groupMinors(gpus, host, gpu);
    const bool complete = learnt == expected && learnt.size() == gpu.lines.size();
    out += "  " + title + ": " +
           (complete ? "every member of its group, addresses right" : "INCOMPLETE OR WRONG") +
           " (peer minors " + joined(learnt) + "; its group: " + joined(expected) + ")\n";
  }
  return out;
}

}  // namespace sim
