// Gathering the status: discovery of the GPUs, then the host collector
// (host.cc) and the guest collector (guest.cc) over those each view takes.
#include "tool/report/collect.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

#include "common/device/enumeration.h"
#include "common/device/exchange_area.h"
#include "common/device/pass_record.h"
#include "common/util/scoped.h"
#include "tool/report/guest.h"
#include "tool/report/host.h"
#include "tool/topology.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kVendorFile = "/vendor";
constexpr const char* kHostBridgePrefix = "pci";

bool isSupportedGpu(const fs::path& entry) {
  std::ifstream in(entry.string() + kVendorFile);
  std::string word;
  if (!(in >> word) || !fs::exists(entry.string() + kDeviceIdFile) ||
      isVirtualFunction(entry.string()))
    return false;
  try {
    return isGpuFunction(entry.string());
  } catch (const std::logic_error&) {
    return false;
  }
}

// BDF string -> resolved device path of every supported GPU, answering or not.
std::map<std::string, fs::path> findGpus() {
  std::map<std::string, fs::path> gpus;
  for (const fs::directory_entry& entry : fs::directory_iterator(kSysPciDevices)) {
    std::error_code ec;
    const fs::path resolved = fs::canonical(entry.path(), ec);
    if (!ec && isSupportedGpu(entry.path())) gpus[entry.path().filename().string()] = resolved;
  }
  return gpus;
}

bool onRootBus(const fs::path& device) {
  return ancestorName(device, 1).rfind(kHostBridgePrefix, 0) == 0;
}

// The GPUs each view takes, and the views; `error` when none can be looked for.
void gather(Status& status) {
  std::map<std::string, fs::path> gpus;
  try {
    gpus = findGpus();
  } catch (const fs::filesystem_error& e) {
    status.error = std::string("cannot read ") + kSysPciDevices + ": " + e.code().message();
    return;
  }
  std::map<std::string, fs::path> host_gpus, guest_gpus;
  std::error_code ec;
  const bool peer_dir = fs::is_directory(kPeerConfigDir, ec);
  for (const auto& [bdf, device] : gpus) {
    if (!onRootBus(device)) host_gpus[bdf] = device;
    if (onRootBus(device) || peer_dir) guest_gpus[bdf] = device;
  }
  if (!host_gpus.empty()) status.host = hostStatus(host_gpus);
  if (!guest_gpus.empty()) {
    const PassRecordRead record = readPassRecord();
    status.guest.emplace();
    for (const auto& entry : guest_gpus) status.guest->push_back(guestGpu(entry.first, record));
    markConflicts(*status.guest);
  }
}

}  // namespace

Status collectStatus() {
  StdoutToStderr diverted;
  Status status;
  status.as_root = ::geteuid() == 0;
  ::clock_gettime(CLOCK_REALTIME, &status.time);
  try {
    gather(status);
  } catch (const std::exception& e) {
    Status failed;  // nothing of a gathering cut short is shown
    failed.as_root = status.as_root;
    failed.time = status.time;
    failed.error = e.what();
    return failed;
  }
  return status;
}
