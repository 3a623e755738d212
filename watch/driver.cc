#include "watch/driver.h"

#include <cstdio>

#include "common/log/console.h"
#include "watch/command.h"
#include "watch/tables.h"

namespace {

constexpr const char* kItrDebugFile = "/itr_debug";
constexpr const char* kEchoCommand = "echo pt_p2p_cfg ";

std::string lookup(const std::map<std::string, std::string>& map, const std::string& key) {
  const auto it = map.find(key);
  return it == map.end() ? std::string() : it->second;
}

// The GPU's peer words: none when the driver gave it no minor, so that a GPU
// is never programmed with the group of some unbound GPU's file.
std::vector<std::string> groupOf(const std::string& minor,
                                 const std::map<std::string, std::vector<std::string>>& data) {
  const auto it = minor.empty() ? data.end() : data.find(minor);
  return it == data.end() ? std::vector<std::string>() : it->second;
}

// Runs one command per member; true when every one exited with status 0. An
// overrunning command is reported and ends the GPU's commands.
bool programGroup(const std::string& control_file, const std::vector<std::string>& words,
                  const std::map<std::string, std::string>& phy_minors) {
  bool all_ok = true;
  for (size_t i = 1; i + 1 < words.size(); i += 2) {
    const std::string command =
        ptP2pCfgCommand(lookup(phy_minors, words[i]), words[i + 1], control_file);
    const CommandOutcome outcome = runBounded(command);
    if (outcome == CommandOutcome::kTimedOut) {
      report(Priority::kError,
             "\033[31mError:\033[0m Writing to %s took longer than %lld ms, ended\n",
             control_file.c_str(), static_cast<long long>(kCommandTimeLimit.count()));
      return false;
    }
    if (outcome != CommandOutcome::kSucceeded) all_ok = false;
  }
  return all_ok;
}

}  // namespace

std::string itrDebugFile(const std::string& bdf) {
  return std::string(kDriverDir) + "/" + bdf + kItrDebugFile;
}

std::string ptP2pCfgCommand(const std::string& peer_minor, const std::string& address,
                            const std::string& control_file) {
  return kEchoCommand + peer_minor + "  " + address + " > " + control_file;
}

void VM_WriteItrDebug(std::set<std::string> names,
                      std::map<std::string, std::vector<std::string>> data,
                      std::map<std::string, std::string> virl_minors,
                      std::map<std::string, std::string> phy_minors,
                      std::set<std::string> unusable_peer_files) {
  for (const auto& name : names) {
    const std::string control_file = itrDebugFile(name);
    if (unusable_peer_files.count(name)) {
      report(Priority::kError,
             "\033[31mError:\033[0m Nothing written to %s: peer configuration file %s%s unusable\n",
             control_file.c_str(), kPeerConfigDir, name.c_str());
      continue;
    }
    const auto words = groupOf(lookup(virl_minors, name), data);
    if (programGroup(control_file, words, phy_minors))
      report(Priority::kInfo, "Writing to file itr_debug was successful ...\n");
    else
      report(Priority::kError, "\033[31mError:\033[0m Writing to %s failed\n",
             control_file.c_str());
  }
}
