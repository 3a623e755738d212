#include "watch/driver.h"

#include <cstdint>

#include "common/device/exchange_area.h"
#include "common/device/pci_address.h"
#include "common/device/tamberon_driver.h"
#include "common/log/console.h"
#include "common/util/convert.h"
#include "watch/command.h"

namespace {

constexpr const char* kItrDebugFile = "/itr_debug";
constexpr const char* kEchoCommand = "echo pt_p2p_cfg ";
constexpr uint64_t kAllOnes = ~uint64_t{0};
constexpr const char* kRedError = "\033[31mError:\033[0m ";

// Reports, once, the members of `gpu`'s group that `what` ("has no GPU in
// this guest", their plural in `what_plural`).
void reportMembers(Priority priority, const std::string& gpu,
                   const std::vector<std::string>& members, const char* what,
                   const char* what_plural) {
  if (members.empty()) return;
  std::string names;
  for (const auto& member : members) names += " " + pciAddressOfPacked(string_to_uint64_t(member));
  const bool one = members.size() == 1;
  report(priority, "GPU %s: member%s%s %s; left out\n", gpu.c_str(), one ? "" : "s", names.c_str(),
         one ? what : what_plural);
}

void reportLeftOut(const std::string& gpu, const GroupPlan& plan) {
  reportMembers(Priority::kWarning, gpu, plan.contested,
                "is named as its own by more than one peer file",
                "are named as their own by more than one peer file");
  reportMembers(Priority::kInfo, gpu, plan.left_out, "has no GPU in this guest",
                "have no GPU in this guest");
}

// Runs the plan's commands; the number the driver took. A failed or
// overrunning command is reported in `failure`; an overrunning one ends the GPU's commands.
unsigned sendLines(const GroupPlan& plan, const std::string& control_file, std::string& failure) {
  unsigned sent = 0;
  for (const auto& [minor, address] : plan.lines) {
    const CommandOutcome outcome = runBounded(ptP2pCfgCommand(minor, address, control_file));
    if (outcome == CommandOutcome::kTimedOut) {
      report(Priority::kError, "%sWriting to %s took longer than %lld ms, ended\n", kRedError,
             control_file.c_str(), static_cast<long long>(kCommandTimeLimit.count()));
      failure = "writing to " + control_file + " took longer than " +
                std::to_string(kCommandTimeLimit.count()) + " ms";
      return sent;
    }
    if (outcome == CommandOutcome::kSucceeded)
      ++sent;
    else
      failure = "writing to " + control_file + " failed";
  }
  return sent;
}

std::string lookup(const std::map<std::string, std::string>& map, const std::string& key) {
  const auto it = map.find(key);
  return it == map.end() ? std::string() : it->second;
}

void reportNotProgrammed(const std::string& gpu, const std::string& reason) {
  report(Priority::kError, "%sGPU %s not programmed: %s\n", kRedError, gpu.c_str(), reason.c_str());
}

// Programs one GPU that has a minor and a usable peer file holding `words`.
void programGpu(const std::string& gpu, const std::vector<std::string>& words,
                const std::map<std::string, std::string>& phy_minors,
                const std::set<std::string>& contested, GpuPassRecord& record) {
  const std::string path = kPeerConfigDir + gpu;
  const GroupPlan plan = planGroupLines(words, path, phy_minors, contested);
  reportLeftOut(gpu, plan);
  if (plan.lines.empty()) {
    record.reason = "peer configuration file " + path + " names no member to send";
    reportNotProgrammed(gpu, record.reason);
    return;
  }
  const std::string control_file = itrDebugFile(gpu);
  record.lines = sendLines(plan, control_file, record.reason);
  record.programmed = record.reason.empty();
  if (record.programmed)
    report(Priority::kInfo, "Writing to file itr_debug was successful ... GPU %s, %u line%s\n",
           gpu.c_str(), record.lines, record.lines == 1 ? "" : "s");
  else
    report(Priority::kError, "%sWriting to %s failed\n", kRedError, control_file.c_str());
}

}  // namespace

std::string itrDebugFile(const std::string& bdf) {
  return std::string(kDriverDir) + "/" + bdf + kItrDebugFile;
}

std::string ptP2pCfgCommand(const std::string& peer_minor, const std::string& address,
                            const std::string& control_file) {
  return kEchoCommand + peer_minor + "  " + address + " > " + control_file;
}

GroupPlan planGroupLines(const std::vector<std::string>& words, const std::string& path,
                         const std::map<std::string, std::string>& phy_minors,
                         const std::set<std::string>& contested) {
  GroupPlan plan;
  for (size_t i = 1; i + 1 < words.size(); i += 2) {
    const std::string &member = words[i], &address = words[i + 1];
    const uint64_t bar = string_to_uint64_t(address);
    if (bar == 0 || bar == kAllOnes) {
      report(Priority::kError,
             "Error: Peer configuration file %s gives member %s the address %s, skipping it\n",
             path.c_str(), member.c_str(), address.c_str());
      continue;
    }
    const auto minor = phy_minors.find(member);
    if (contested.count(member))
      plan.contested.push_back(member);
    else if (minor == phy_minors.end())
      plan.left_out.push_back(member);
    else
      plan.lines.emplace_back(minor->second, address);
  }
  return plan;
}

std::vector<GpuPassRecord> VM_WriteItrDebug(std::set<std::string> names,
                                            std::map<std::string, std::vector<std::string>> data,
                                            std::map<std::string, std::string> virl_minors,
                                            std::map<std::string, std::string> phy_minors,
                                            std::map<std::string, std::string> unusable,
                                            std::set<std::string> found_files,
                                            std::set<std::string> contested, const timespec& pass) {
  std::set<std::string> gpus = names;
  for (const auto& entry : unusable) gpus.insert(entry.first);
  std::vector<GpuPassRecord> records;
  for (const auto& gpu : gpus) {
    GpuPassRecord record{gpu,
                         pass,
                         false,
                         0,
                         found_files.count(gpu) ? kPeerConfigDir + gpu : "",
                         lookup(unusable, gpu)};
    if (record.reason.empty())
      programGpu(gpu, data[lookup(virl_minors, gpu)], phy_minors, contested, record);
    else if (names.count(gpu))  // one not named was dropped as offline and reported so
      reportNotProgrammed(gpu, record.reason);
    records.push_back(std::move(record));
  }
  return records;
}
