#include "watch/tables.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <system_error>

#include "common/device/enumeration.h"
#include "common/device/pci_address.h"
#include "common/device/tamberon_driver.h"
#include "common/log/console.h"

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

// The GPUs bound to the driver: its entries named by a PCI address. Nothing
// when the driver's directory cannot be listed.
std::optional<std::set<std::string>> boundGpus() {
  const auto names = entryNames(kDriverDir, true, false);
  if (!names) return std::nullopt;
  std::set<std::string> gpus;
  for (const auto& name : *names) {
    if (isPciAddress(name))
      gpus.insert(name);
    else
      reportNotPciAddress(std::string(kDriverDir) + "/" + name);
  }
  return gpus;
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

BoundGpu readGpu(const std::string& bdf) {
  BoundGpu gpu{bdf, isOffline(bdf), "", {}, ""};
  if (gpu.offline) {
    gpu.failure = kOffline;
    return gpu;
  }
  if (auto minor = readBoundMinor(bdf, &gpu.failure)) gpu.minor = *minor;
  if (gpu.minor.empty()) return gpu;
  gpu.peers = loadPeerFile(bdf);
  gpu.failure = gpu.peers.problem;
  return gpu;
}

// Names every entry of the peer directory that is no file of a GPU bound here
// (the file of a GPU found offline is not read, its GPU named as offline).
void reportForeignPeerFiles(const std::set<std::string>& bound) {
  for (const auto& name :
       entryNames(kPeerConfigDir, false, true).value_or(std::set<std::string>())) {
    const std::string path = kPeerConfigDir + name;
    if (!isPciAddress(name))
      reportNotPciAddress(path);
    else if (!bound.count(name))
      report(Priority::kWarning,
             "\033[31mWARNING:\033[0m Peer configuration file %s belongs to no GPU bound here; "
             "ignored\n",
             path.c_str());
  }
}

}  // namespace

GuestTables readGuestTables() {
  GuestTables tables;
  const auto bound = boundGpus();
  if (!bound) return tables;  // no driver: no GPU to program, no file to judge
  for (const auto& bdf : *bound) {
    BoundGpu gpu = readGpu(bdf);
    if (gpu.peers.file) tables.minor_of_host[gpu.peers.file->self] = gpu.minor;
    tables.gpus.push_back(std::move(gpu));
  }
  reportForeignPeerFiles(*bound);
  return tables;
}
