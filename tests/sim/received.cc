#include "tests/sim/received.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "tests/sim/explain.h"

namespace sim {
namespace {

constexpr char kUnknown[] = "?";
constexpr char kPeerKeyword[] = "pt_p2p_cfg";

std::string joined(const std::set<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ", ") + item;
  return out.empty() ? "none" : out;
}

// The host GPU a guest GPU passes through: the one sharing its memory file.
std::string hostTwin(const Fabric& guest, const Fabric& host, const std::string& gpu) {
  struct stat mine {
  }, theirs{};
  if (stat((guest.dir(gpu) + "/resource0").c_str(), &mine) != 0) return kUnknown;
  for (const auto& candidate : host.gpus())
    if (stat((host.dir(candidate) + "/resource0").c_str(), &theirs) == 0 &&
        theirs.st_ino == mine.st_ino && theirs.st_dev == mine.st_dev)
      return candidate;
  return kUnknown;
}

std::string groupOfTwin(const Fabric& host, const std::string& twin) {
  return twin == kUnknown ? "" : groupOf(host, twin);
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

enum class LineKind { kRight, kWrong, kMalformed };

// One "pt_p2p_cfg <minor> <ADDRESS>" line, checked against the fabrics.
struct PeerLine {
  LineKind kind;
  std::string minor;
  std::string meaning;
};

bool allOf(const std::string& text, const char* digits) {
  return !text.empty() && text.find_first_not_of(digits) == std::string::npos;
}

PeerLine readPeerLine(const std::vector<GuestGpu>& gpus, const Fabric& host,
                      const std::string& line) {
  std::istringstream in(line);
  std::string keyword, minor, address, extra;
  if (!(in >> keyword >> minor >> address) || in >> extra || keyword != kPeerKeyword ||
      !allOf(minor, "0123456789") || !allOf(address, "0123456789ABCDEF") || address.size() > 16)
    return {LineKind::kMalformed, "", "MALFORMED: not pt_p2p_cfg <minor> <address>"};
  for (const auto& peer : gpus) {
    if (peer.minor != minor) continue;
    const uint64_t bar0 = peer.host == kUnknown ? 0 : host.bar0(peer.host);
    const std::string named =
        "peer minor " + minor + " = " + peer.bdf + " (host " + peer.host + ")";
    if (std::stoull(address, nullptr, 16) == bar0)
      return {LineKind::kRight, minor, named + ", the right host BAR0"};
    char why[64];
    snprintf(why, sizeof why, ", WRONG: its host BAR0 is %llX", (unsigned long long)bar0);
    return {LineKind::kWrong, minor, named + why};
  }
  return {LineKind::kWrong, minor, "WRONG: no GPU of the guest has minor " + minor};
}

// What one driver received, against what it should have.
struct Verdict {
  std::set<std::string> learnt, expected, absent;  // minors; host GPUs the guest lacks
  size_t malformed = 0, wrong = 0;
  std::string detail;  // every line with its meaning
  bool right() const { return malformed == 0 && wrong == 0 && learnt == expected; }
};

Verdict judge(const std::vector<GuestGpu>& gpus, const Fabric& host, const GuestGpu& gpu) {
  Verdict v;
  for (const auto& line : gpu.lines) {
    const PeerLine peer = readPeerLine(gpus, host, line);
    if (peer.kind == LineKind::kMalformed) ++v.malformed;
    if (peer.kind == LineKind::kWrong ||
        (peer.kind == LineKind::kRight && v.learnt.count(peer.minor)))
      ++v.wrong;  // a wrong line, or a peer told twice
    if (peer.kind == LineKind::kRight) v.learnt.insert(peer.minor);
    v.detail += "      " + line + "   " + peer.meaning + "\n";
  }
  const std::string group = groupOfTwin(host, gpu.host);
  if (group.empty()) return v;
  std::set<std::string> present;
  for (const auto& peer : gpus)
    if (groupOfTwin(host, peer.host) == group) {
      v.expected.insert(peer.minor);
      present.insert(peer.host);
    }
  for (const auto& member : host.gpus())
    if (groupOf(host, member) == group && !present.count(member)) v.absent.insert(member);
  return v;
}

std::string verdictText(const GuestGpu& gpu, const Verdict& v) {
  std::string out = std::to_string(gpu.lines.size()) + " lines";
  if (v.right())
    out += v.expected.empty()
               ? ", in no group: nothing to learn"
               : ", its group in this guest (minors " + joined(v.expected) + ") at their host BAR0";
  else
    out += ", WRONG: peer minors learnt " + joined(v.learnt) + ", its group in this guest " +
           joined(v.expected) + ", " + std::to_string(v.malformed) + " malformed, " +
           std::to_string(v.wrong) + " wrong";
  if (!v.absent.empty()) out += "; not in this guest: " + joined(v.absent);
  return out;
}

}  // namespace

ReceivedReport explainReceived(const Fabric& guest, const Fabric& host, const std::string& log_dir,
                               size_t in_full) {
  const auto gpus = boundGpus(guest, host, log_dir);
  ReceivedReport report;
  size_t lines = 0, malformed = 0, wrong = 0, right = 0;
  for (size_t i = 0; i < gpus.size(); ++i) {
    const GuestGpu& gpu = gpus[i];
    const Verdict v = judge(gpus, host, gpu);
    report.text += "  " + gpu.bdf + " (host " + gpu.host + ", minor " + gpu.minor +
                   "): " + verdictText(gpu, v) + (i < in_full ? ":\n" + v.detail : "\n");
    lines += gpu.lines.size();
    malformed += v.malformed;
    wrong += v.wrong;
    right += v.right();
  }
  char total[256];
  snprintf(total, sizeof total,
           "  in all: %zu lines to %zu drivers, %zu malformed, %zu wrong; %zu of %zu drivers got "
           "exactly their group in this guest\n",
           lines, gpus.size(), malformed, wrong, right, gpus.size());
  report.text += total;
  report.right = right == gpus.size();
  return report;
}

}  // namespace sim
