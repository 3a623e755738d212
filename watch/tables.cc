#include "watch/tables.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "common/device/enumeration.h"
#include "common/device/guest_claims.h"
#include "common/device/pci_address.h"
#include "common/device/peer_file.h"
#include "common/device/tamberon_driver.h"
#include "common/log/console.h"
#include "common/util/convert.h"

std::set<std::string> virl_gpu_name_set;
std::set<std::string> phy_gpu_name_set;
std::map<std::string, std::string> virl_bdf_minor_map;
std::map<std::string, std::string> phybdf_minor_map;
std::map<std::string, std::vector<std::string>> all_minor_phy_data_map;
std::map<std::string, std::string> unusable_gpu_reason_map;
std::set<std::string> phy_file_found_set;
std::set<std::string> contested_phybdf_set;

namespace {

namespace fs = std::filesystem;

constexpr const char* kConfigFile = "/config";
constexpr unsigned char kVanishedByte = 0xFF;
constexpr const char* kOffline = "offline: its configuration space reads 0xFF";

// Names of the entries of `dir` whose name contains ':', directories only
// when asked (links followed). Nothing for a directory that cannot be listed;
// that is reported, unless it is missing and `quiet_when_missing`.
std::optional<std::set<std::string>> entryNames(const char* dir, bool directories,
                                                bool quiet_when_missing) {
  std::set<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code kind;
    const std::string name = it->path().filename().string();
    if (name.find(':') != std::string::npos && (!directories || it->is_directory(kind)))
      names.insert(name);
  }
  if (!ec) return names;
  if (!quiet_when_missing || ec != std::errc::no_such_file_or_directory)
    report(Priority::kError, "Error: Cannot list %s: %s\n", dir, ec.message().c_str());
  return std::nullopt;
}

void reportNotPciAddress(const std::string& path) {
  report(Priority::kError, "Error: %s is not named by a PCI address, skipping it\n", path.c_str());
}

// True, after a message, when the GPU's configuration space reads 0xFF: the
// device no longer answers. A configuration space that cannot be read is
// reported and the GPU kept.
bool isOffline(const std::string& bdf) {
  std::ifstream config(kSysPciDevices + bdf + kConfigFile, std::ios::binary);
  if (!config) {
    const int error = errno;
    report(Priority::kError, "Failed to open config file. \n");
    reportReason(Priority::kError, kSysPciDevices + bdf + kConfigFile, error);
    return false;
  }
  char first = 0;
  if (!config.get(first) || static_cast<unsigned char>(first) != kVanishedByte) return false;
  report(Priority::kWarning, "\033[31m OFFLINE: \033[0m GPU %s is dropped.\n", bdf.c_str());
  return true;
}

// True for a GPU the driver has bound, answering or found offline.
bool isBoundHere(const std::string& bdf) {
  return virl_gpu_name_set.count(bdf) || unusable_gpu_reason_map.count(bdf);
}

// Reports why a GPU's peer file could not be opened, when it is there.
void reportUnopenedPeerFile(const std::string& bdf, const PeerFileLoad& load) {
  if (!load.found || load.error == 0 || load.regular) return;
  report(Priority::kError, "Error: Failed to open %s\n", bdf.c_str());
  reportReason(Priority::kError, load.path, load.error);
}

std::vector<std::string> hexTexts(const std::vector<unsigned long>& words) {
  std::vector<std::string> texts;
  for (unsigned long word : words) texts.push_back(uint64_t_to_string(word));
  return texts;
}

}  // namespace

void clearTables() {
  virl_gpu_name_set.clear();
  phy_gpu_name_set.clear();
  virl_bdf_minor_map.clear();
  phybdf_minor_map.clear();
  all_minor_phy_data_map.clear();
  unusable_gpu_reason_map.clear();
  phy_file_found_set.clear();
  contested_phybdf_set.clear();
}

bool get_virl_Device() {
  const auto names = entryNames(kDriverDir, true, false);
  if (!names) return false;
  for (const auto& name : *names) {
    if (!isPciAddress(name))
      reportNotPciAddress(std::string(kDriverDir) + "/" + name);
    else if (isOffline(name))
      unusable_gpu_reason_map[name] = kOffline;
    else
      virl_gpu_name_set.insert(name);
  }
  return true;
}

void get_phy_Device() {
  phy_gpu_name_set = virl_gpu_name_set;  // a missing one is named when it is read
  // The file of a GPU found offline is not read, its GPU named as offline.
  for (const auto& name :
       entryNames(kPeerConfigDir, false, true).value_or(std::set<std::string>())) {
    const std::string path = kPeerConfigDir + name;
    if (!isPciAddress(name))
      reportNotPciAddress(path);
    else if (!isBoundHere(name))
      report(Priority::kWarning,
             "\033[31mWARNING:\033[0m Peer configuration file %s belongs to no GPU bound here; "
             "ignored\n",
             path.c_str());
  }
}

void read_virl_mem(std::set<std::string> names) {
  for (const auto& name : names) {
    std::string problem;
    int open_error = 0;
    if (const auto minor = readBoundMinor(name, &problem, &open_error)) {
      virl_bdf_minor_map[name] = *minor;
      continue;
    }
    if (open_error) {
      report(Priority::kError, "Failed to open config file.\n");
      reportReason(Priority::kError, minorFile(name), open_error);
    }
    unusable_gpu_reason_map[name] = problem;
  }
  for (const auto& [name, reason] : sharedMinors(virl_bdf_minor_map)) {
    virl_bdf_minor_map.erase(name);
    unusable_gpu_reason_map[name] = reason;
  }
}

void read_phy_mem(std::set<std::string> names, std::map<std::string, std::string> minors) {
  std::map<std::string, PeerFile> usable;
  for (const auto& name : names) {
    if (!minors.count(name)) continue;  // its GPU cannot be programmed anyway
    PeerFileLoad load = loadPeerFile(name);
    if (load.found) phy_file_found_set.insert(name);
    if (load.file) {
      usable.emplace(name, std::move(*load.file));
      continue;
    }
    reportUnopenedPeerFile(name, load);
    unusable_gpu_reason_map[name] = load.problem;
  }
  std::map<std::string, uint64_t> selves;
  for (const auto& [name, file] : usable) selves[name] = file.self;
  const SharedClaims shared = sharedHostGpus(selves);
  for (const auto& [name, file] : usable) {
    if (const auto conflict = shared.find(name); conflict != shared.end()) {
      unusable_gpu_reason_map[name] = conflict->second;
      contested_phybdf_set.insert(uint64_t_to_string(file.self));
      continue;
    }
    phybdf_minor_map[uint64_t_to_string(file.self)] = minors[name];
    all_minor_phy_data_map[minors[name]] = hexTexts(file.words);
  }
}
