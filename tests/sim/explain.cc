#include "tests/sim/explain.h"

#include <algorithm>
#include <cstdio>
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
constexpr size_t kMaxAreaWords = 32;

// The redirect bits set in an ACS Control word, as lspci -vvv names them.
std::string redirectNames(uint16_t value) {
  static const std::pair<uint16_t, const char*> kNames[] = {
      {0x0004, "ReqRedir"}, {0x0008, "CmpltRedir"}, {0x0020, "EgressCtrl"}};
  std::string names;
  for (const auto& [bit, name] : kNames)
    if (value & bit) names += (names.empty() ? "" : " ") + std::string(name);
  return names;
}

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
      return "inside a dual-chip board's own switch: p2ptool switches the ports around the "
             "board (a redirect bit here sends the chips' requests to each other upstream: "
             "p2ptool -s names it)";
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
    if (pick != picked.end() && (now & kRedirectBits))
      verdict = "STILL REDIRECTS (" + redirectNames(now) +
                "), though picked: " + pick->second.first + " (" + joined(pick->second.second) +
                ")";
    else if (pick != picked.end())
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

std::vector<std::string> changedPorts(const Fabric& fabric, const AcsSnapshot& before) {
  std::vector<std::string> changed;
  for (const auto& [port, now] : acsSnapshot(fabric)) {
    auto was = before.find(port);
    if (was == before.end() || was->second != now) changed.push_back(port);
  }
  return changed;
}

std::map<std::string, std::string> blockingPorts(const Fabric& fabric) {
  std::map<std::string, std::string> blocking;
  const AcsSnapshot now = acsSnapshot(fabric);
  for (const auto& [port, why] : pickedPorts(fabric)) {
    auto value = now.find(port);
    if (value != now.end() && (value->second & kRedirectBits))
      blocking[port] = redirectNames(value->second);
  }
  return blocking;
}

std::string explainGpus(const Fabric& fabric) {
  std::map<std::string, std::set<std::string>> groups;
  std::map<std::string, std::set<std::string>> by_registers;  // register words -> GPUs
  std::string out;
  for (const auto& gpu : fabric.gpus()) {
    const Placement p = placementOf(fabric, gpu);
    const bool passed_through = p.where.find("passed through") != std::string::npos;
    out += format("  %s  BAR0 %llx, %s%s\n", gpu.c_str(), (unsigned long long)fabric.bar0(gpu),
                  p.where.c_str(),
                  p.group.empty() && !passed_through
                      ? ": in no group, p2ptool leaves it out of every exchange table"
                      : "");
    if (!p.group.empty()) groups[p.group].insert(gpu);
    by_registers[commandMeaning(fabric.command(gpu)) + ", " + powerMeaning(fabric.pmControl(gpu))]
        .insert(gpu);
  }
  for (const auto& [key, members] : groups) out += "  group " + key + ": " + joined(members) + "\n";
  const size_t all = fabric.gpus().size();
  for (const auto& [words, gpus] : by_registers)
    out += "  " + words + ": " + (gpus.size() == all ? format("all %zu GPUs", all) : joined(gpus)) +
           "\n";
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

std::string groupOf(const Fabric& fabric, const std::string& gpu) {
  return placementOf(fabric, gpu).group;
}

std::vector<uint64_t> readArea(const Fabric& host, const std::string& gpu) {
  const uint64_t first = host.readWindowWords(gpu, kAreaOffset, 1)[0];
  const size_t count = std::clamp<size_t>(static_cast<size_t>(first >> 32), 1, kMaxAreaWords);
  return host.readWindowWords(gpu, kAreaOffset, count);
}

namespace {

// Member words (1, 3, ...) of an area.
std::vector<uint64_t> memberWords(const std::vector<uint64_t>& words) {
  std::vector<uint64_t> members;
  for (size_t i = 1; i < words.size(); i += 2) members.push_back(words[i]);
  return members;
}

// A line being built with a verdict: a part that states a fault makes it wrong.
struct Judged {
  std::string text;
  bool right = true;
  void add(const std::string& part, bool fault = false) {
    text += part;
    right = right && !fault;
  }
};

// Whether the members are the group of the GPU named as self, and each
// address its member's host BAR0.
void judgeMembers(const Fabric& host, const std::vector<uint64_t>& words, const std::string& self,
                  Judged& line) {
  const auto names = gpusByPackedBdf(host);
  std::set<std::string> members, group;
  std::string wrong;
  for (size_t i = 1; i + 1 < words.size(); i += 2) {
    const std::string member = nameOf(names, words[i]);
    members.insert(member);
    const uint64_t bar0 = names.count(words[i]) ? host.bar0(member) : 0;
    if (words[i + 1] != bar0 && wrong.empty())
      wrong = format("WRONG address for %s: %llx, its host BAR0 is %llx", member.c_str(),
                     (unsigned long long)words[i + 1], (unsigned long long)bar0);
  }
  const std::string key = host.has(self) ? groupOf(host, self) : "";
  for (const auto& gpu : host.gpus())
    if (!key.empty() && groupOf(host, gpu) == key) group.insert(gpu);
  if (members == group && !group.empty())
    line.add(format("the %zu members of group %s", members.size(), key.c_str()));
  else
    line.add(format("%zu members (%s), NOT its group's (%s)", members.size(),
                    joined(members).c_str(), joined(group).c_str()),
             true);
  if ((words[0] >> 32) != words.size()) line.add(", WORD COUNT WRONG", true);
  line.add(wrong.empty() ? " at their host BAR0" : ", " + wrong, !wrong.empty());
}

// One line on an area: its self GPU, members and addresses; a peer file
// against its self GPU's window, a window against the areas before it.
Judged summarizeArea(const Fabric& host, const NamedArea& area,
                     const std::vector<NamedArea>& before) {
  Judged line;
  if (area.words.empty()) {
    line.add("  " + area.name + ": NO WORDS", true);
    return line;
  }
  const std::string self = nameOf(gpusByPackedBdf(host), area.words[0] & 0xffffffff);
  line.add("  " + area.name + ": self " + self + "; ");
  judgeMembers(host, area.words, self, line);
  if (area.peer_file) {
    const bool equal = host.has(self) && readArea(host, self) == area.words;
    line.add(equal ? "; equals " + self + "'s window word for word"
                   : "; DIFFERS from " + self + "'s window",
             !equal);
  }
  for (const auto& earlier : before)
    if (!area.peer_file && memberWords(earlier.words) == memberWords(area.words)) {
      line.add("; same members as " + earlier.name);
      break;
    }
  return line;
}

}  // namespace

AreasReport explainAreas(const Fabric& host, const std::vector<NamedArea>& areas) {
  AreasReport report;
  for (size_t i = 0; i < areas.size(); ++i) {
    const std::vector<NamedArea> before(areas.begin(), areas.begin() + static_cast<long>(i));
    const Judged line = summarizeArea(host, areas[i], before);
    report.text += line.text + (i == 0 ? ":\n" + explainArea(host, areas[i].words) : "\n");
    report.right = report.right && line.right;
  }
  return report;
}

}  // namespace sim
