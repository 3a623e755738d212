// Gathering the status: discovery of the GPUs, the role, then the collector
// of its view: the host's (host.cc) or the guest's (guest.cc).
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
#include <vector>

#include "common/device/enumeration.h"
#include "common/device/pass_record.h"
#include "common/util/scoped.h"
#include "tool/report/guest.h"
#include "tool/report/host.h"
#include "tool/role/evidence.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kVendorFile = "/vendor";

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

std::vector<fs::path> devicesOf(const std::map<std::string, fs::path>& gpus) {
  std::vector<fs::path> devices;
  for (const auto& entry : gpus) devices.push_back(entry.second);
  return devices;
}

std::vector<GuestGpu> guestStatus(const std::map<std::string, fs::path>& gpus,
                                  WindowReads& windows) {
  const PassRecordRead record = readPassRecord();
  std::vector<GuestGpu> guest;
  for (const auto& entry : gpus)
    guest.push_back(guestGpu(entry.first, windows.of(entry.first), record));
  markConflicts(guest);
  return guest;
}

// The role and the view it takes, each GPU's window read once for both;
// `error` when no GPU can be looked for.
void gather(Status& status) {
  std::map<std::string, fs::path> gpus;
  try {
    gpus = findGpus();
  } catch (const fs::filesystem_error& e) {
    status.error = std::string("cannot read ") + kSysPciDevices + ": " + e.code().message();
    status.role = findRole({});
    return;
  }
  WindowReads windows;
  status.role = findRole(devicesOf(gpus), windows);
  if (gpus.empty()) return;
  if (status.role.role == Role::kHost)
    status.host = hostStatus(gpus, windows);
  else
    status.guest = guestStatus(gpus, windows);
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
    failed.role = status.role;
    failed.error = e.what();
    return failed;
  }
  return status;
}
