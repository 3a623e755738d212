#include "watch/tables.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <utility>

#include "common/device/enumeration.h"
#include "common/device/windows.h"
#include "common/util/convert.h"
#include "common/util/scoped.h"

std::set<std::string> virl_gpu_name_set;
std::set<std::string> phy_gpu_name_set;
std::map<std::string, std::string> virl_bdf_minor_map;
std::map<std::string, std::string> phybdf_minor_map;
std::map<std::string, std::vector<std::string>> all_minor_phy_data_map;

namespace {

namespace fs = std::filesystem;

constexpr const char* kConfigFile = "/config";
constexpr const char* kMinorFile = "/minor";
constexpr unsigned char kVanishedByte = 0xFF;

enum class EntryKind { Directory, RegularFile };

bool hasKind(const fs::directory_entry& entry, EntryKind kind) {
  std::error_code ec;
  return kind == EntryKind::Directory ? entry.is_directory(ec) : entry.is_regular_file(ec);
}

// Names containing ':' of the entries of `dir` of the given kind (links
// followed). A directory that cannot be listed is reported and yields none.
std::set<std::string> listNames(const char* dir, EntryKind kind) {
  std::set<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.find(':') != std::string::npos && hasKind(*it, kind)) names.insert(name);
  }
  if (ec) printf("Error: Cannot list %s: %s\n", dir, ec.message().c_str());
  return names;
}

// Removes from `names` every GPU whose configuration space reads 0xFF: the
// device no longer answers.
void dropOffline(std::set<std::string>& names) {
  for (const std::string& name : std::set<std::string>(names)) {
    std::ifstream config(kSysPciDevices + name + kConfigFile, std::ios::binary);
    if (!config) {
      printf("Failed to open config file. \n");
      continue;
    }
    char first = 0;
    if (config.get(first) && static_cast<unsigned char>(first) == kVanishedByte) {
      printf("\033[31m OFFLINE: \033[0m GPU %s is dropped.\n", name.c_str());
      names.erase(name);
    }
  }
}

// Reads a peer configuration file; nothing (after a message) when it cannot be
// opened or is malformed.
std::optional<PeerFile> readPeerFile(const std::string& name) {
  const std::string path = kPeerConfigDir + name;
  ScopedFd fd(::open(path.c_str(), O_RDWR));
  if (!fd.valid()) {
    printf("Error: Failed to open %s\n", name.c_str());
    return std::nullopt;
  }
  return readPeerFd(fd.get(), path);
}

}  // namespace

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
    std::ifstream minor_file(std::string(kDriverDir) + "/" + name + kMinorFile);
    std::string minor;
    if (!minor_file) {
      printf("Failed to open config file.\n");
      continue;
    }
    if (minor_file >> minor) virl_bdf_minor_map[name] = minor;
  }
}

void read_phy_mem(std::set<std::string> names, std::map<std::string, std::string> minors) {
  for (const auto& name : names) {
    const auto file = readPeerFile(name);
    if (!file) continue;
    std::vector<std::string> texts;
    for (unsigned long word : file->words) texts.push_back(uint64_t_to_string(word));
    // A file named after a GPU the driver has not bound files under the empty minor.
    const std::string& minor = minors[name];
    phybdf_minor_map[uint64_t_to_string(file->self)] = minor;
    all_minor_phy_data_map[minor] = std::move(texts);
  }
}
