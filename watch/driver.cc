#include "watch/driver.h"

#include "common/device/pci_address.h"
#include "common/device/tamberon_driver.h"
#include "common/log/console.h"
#include "common/util/convert.h"
#include "watch/command.h"

namespace {

constexpr const char* kItrDebugFile = "/itr_debug";
constexpr const char* kEchoCommand = "echo pt_p2p_cfg ";
constexpr unsigned long kAllOnes = ~0UL;
constexpr const char* kRedError = "\033[31mError:\033[0m ";

// Reports, once, the members of `gpu`'s group that no GPU of this guest is.
void reportLeftOut(const std::string& gpu, const std::vector<uint64_t>& members) {
  if (members.empty()) return;
  std::string names;
  for (uint64_t member : members) names += " " + pciAddressOfPacked(member);
  const bool one = members.size() == 1;
  report(Priority::kInfo, "GPU %s: member%s%s ha%s no GPU in this guest; left out\n", gpu.c_str(),
         one ? "" : "s", names.c_str(), one ? "s" : "ve");
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

// Programs one GPU that has a minor and a usable peer file.
void programGpu(const BoundGpu& gpu, const GuestTables& tables, GpuPassRecord& record) {
  const GroupPlan plan = planGroup(*gpu.peers.file, gpu.peers.path, tables.minor_of_host);
  reportLeftOut(gpu.bdf, plan.left_out);
  if (plan.lines.empty()) {
    record.reason = "peer configuration file " + gpu.peers.path + " names no member to send";
    report(Priority::kError, "%sGPU %s not programmed: %s\n", kRedError, gpu.bdf.c_str(),
           record.reason.c_str());
    return;
  }
  const std::string control_file = itrDebugFile(gpu.bdf);
  record.lines = sendLines(plan, control_file, record.reason);
  record.programmed = record.reason.empty();
  if (record.programmed)
    report(Priority::kInfo, "Writing to file itr_debug was successful ... GPU %s, %u line%s\n",
           gpu.bdf.c_str(), record.lines, record.lines == 1 ? "" : "s");
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

GroupPlan planGroup(const PeerFile& file, const std::string& path,
                    const std::map<uint64_t, std::string>& minor_of_host) {
  GroupPlan plan;
  for (size_t i = 1; i + 1 < file.words.size(); i += 2) {
    const unsigned long member = file.words[i], address = file.words[i + 1];
    if (address == 0 || address == kAllOnes) {
      report(Priority::kError,
             "Error: Peer configuration file %s gives member %s the address %s, skipping it\n",
             path.c_str(), uint64_t_to_string(member).c_str(), uint64_t_to_string(address).c_str());
      continue;
    }
    const auto minor = minor_of_host.find(member);
    if (minor == minor_of_host.end())
      plan.left_out.push_back(member);
    else
      plan.lines.emplace_back(minor->second, uint64_t_to_string(address));
  }
  return plan;
}

std::vector<GpuPassRecord> programDriver(const GuestTables& tables, const timespec& pass) {
  std::vector<GpuPassRecord> records;
  for (const BoundGpu& gpu : tables.gpus) {
    GpuPassRecord record{gpu.bdf,    pass, false, 0, gpu.peers.found ? gpu.peers.path : "",
                         gpu.failure};
    if (gpu.failure.empty())
      programGpu(gpu, tables, record);
    else if (!gpu.offline)  // an offline GPU was reported as such
      report(Priority::kError, "%sGPU %s not programmed: %s\n", kRedError, gpu.bdf.c_str(),
             gpu.failure.c_str());
    records.push_back(std::move(record));
  }
  return records;
}
