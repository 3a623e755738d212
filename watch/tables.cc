#include "watch/tables.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <utility>

#include "common/device/enumeration.h"
#include "common/device/pci_address.h"
#include "common/device/windows.h"
#include "common/log/console.h"
#include "common/util/convert.h"
#include "common/util/scoped.h"

std::set<std::string> virl_gpu_name_set;
std::set<std::string> phy_gpu_name_set;
std::map<std::string, std::string> virl_bdf_minor_map;
std::map<std::string, std::string> phybdf_minor_map;
std::map<std::string, std::vector<std::string>> all_minor_phy_data_map;
std::set<std::string> unusable_peer_file_set;

namespace {

namespace fs = std::filesystem;

constexpr const char* kConfigFile = "/config";
constexpr const char* kMinorFile = "/minor";
constexpr unsigned char kVanishedByte = 0xFF;
constexpr size_t kMaxMinorDigits = 10;  // minors are small numbers; this bounds the text
constexpr unsigned long kAllOnes = ~0UL;

enum class EntryKind { Directory, RegularFile };

bool hasKind(const fs::directory_entry& entry, EntryKind kind) {
  std::error_code ec;
  return kind == EntryKind::Directory ? entry.is_directory(ec) : entry.is_regular_file(ec);
}

// Names of the entries of `dir` of the given kind (links followed) that are
// PCI addresses; other names containing ':' are reported. A directory that
// cannot be listed is reported and yields none.
std::set<std::string> listNames(const char* dir, EntryKind kind) {
  std::set<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.find(':') == std::string::npos || !hasKind(*it, kind)) continue;
    if (isPciAddress(name))
      names.insert(name);
    else
      report(Priority::kError, "Error: %s is not named by a PCI address, skipping it\n",
             it->path().c_str());
  }
  if (ec) report(Priority::kError, "Error: Cannot list %s: %s\n", dir, ec.message().c_str());
  return names;
}

// Removes from `names` every GPU whose configuration space reads 0xFF: the
// device no longer answers.
void dropOffline(std::set<std::string>& names) {
  for (const std::string& name : std::set<std::string>(names)) {
    std::ifstream config(kSysPciDevices + name + kConfigFile, std::ios::binary);
    if (!config) {
      const int error = errno;
      report(Priority::kError, "Failed to open config file. \n");
      reportReason(Priority::kError, kSysPciDevices + name + kConfigFile, error);
      continue;
    }
    char first = 0;
    if (config.get(first) && static_cast<unsigned char>(first) == kVanishedByte) {
      report(Priority::kWarning, "\033[31m OFFLINE: \033[0m GPU %s is dropped.\n", name.c_str());
      names.erase(name);
    }
  }
}

bool isDecimal(const std::string& text) {
  return !text.empty() && text.size() <= kMaxMinorDigits &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// The words of a peer file as hex texts, without the members whose address
// cannot be a BAR (0 or all ones): those are reported naming the file.
std::vector<std::string> checkedWords(const PeerFile& file, const std::string& path) {
  std::vector<std::string> texts;
  if (!file.words.empty()) texts.push_back(uint64_t_to_string(file.words[0]));
  for (size_t i = 1; i + 1 < file.words.size(); i += 2) {
    const unsigned long address = file.words[i + 1];
    if (address == 0 || address == kAllOnes) {
      report(Priority::kError,
             "Error: Peer configuration file %s gives member %s the address %s, skipping it\n",
             path.c_str(), uint64_t_to_string(file.words[i]).c_str(),
             uint64_t_to_string(address).c_str());
      continue;
    }
    texts.push_back(uint64_t_to_string(file.words[i]));
    texts.push_back(uint64_t_to_string(address));
  }
  return texts;
}

// Reads a peer configuration file; nothing (after a message) when it cannot be
// opened or is malformed.
std::optional<PeerFile> readPeerFile(const std::string& name) {
  const std::string path = kPeerConfigDir + name;
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    const int error = errno;
    report(Priority::kError, "Error: Failed to open %s\n", name.c_str());
    reportReason(Priority::kError, path, error);
    return std::nullopt;
  }
  return readPeerFd(fd.get(), path);
}

}  // namespace

void clearTables() {
  virl_gpu_name_set.clear();
  phy_gpu_name_set.clear();
  virl_bdf_minor_map.clear();
  phybdf_minor_map.clear();
  all_minor_phy_data_map.clear();
  unusable_peer_file_set.clear();
}

void get_virl_Device() {
  for (const auto& name : listNames(kDriverDir, EntryKind::Directory))
    virl_gpu_name_set.insert(name);
  dropOffline(virl_gpu_name_set);
}

void get_phy_Device() {
  for (const auto& name : listNames(kPeerConfigDir, EntryKind::RegularFile))
    phy_gpu_name_set.insert(name);
  dropOffline(phy_gpu_name_set);
}

void read_virl_mem(std::set<std::string> names) {
  for (const auto& name : names) {
    const std::string path = std::string(kDriverDir) + "/" + name + kMinorFile;
    std::ifstream minor_file(path);
    std::string minor;
    if (!minor_file) {
      const int error = errno;
      report(Priority::kError, "Failed to open config file.\n");
      reportReason(Priority::kError, path, error);
      continue;
    }
    if (!(minor_file >> minor)) continue;
    if (isDecimal(minor)) {
      virl_bdf_minor_map[name] = minor;
    } else {
      report(Priority::kError, "Error: Minor file %s holds no decimal number, skipping GPU %s\n",
             path.c_str(), name.c_str());
      virl_gpu_name_set.erase(name);
    }
  }
}

void read_phy_mem(std::set<std::string> names, std::map<std::string, std::string> minors) {
  for (const auto& name : names) {
    const auto file = readPeerFile(name);
    if (!file) {
      unusable_peer_file_set.insert(name);
      continue;
    }
    // A file named after a GPU the driver has not bound files under the empty minor.
    const std::string& minor = minors[name];
    phybdf_minor_map[uint64_t_to_string(file->self)] = minor;
    all_minor_phy_data_map[minor] = checkedWords(*file, kPeerConfigDir + name);
  }
}
