#include "common/device/vfio.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <system_error>

#include "common/device/enumeration.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kDriverLink = "/driver";
constexpr const char* kIommuGroupLink = "/iommu_group";
constexpr const char* kVfioGroupClass = "/sys/class/vfio/";
constexpr const char* kVfioDeviceEntries = "/vfio-dev";
constexpr const char* kDevFile = "/dev";
constexpr const char* kProc = "/proc/";
constexpr const char* kFdDir = "/fd";
constexpr const char* kCommFile = "/comm";
constexpr const char* kNoVfioDevice = "no VFIO group or device in sysfs";
constexpr size_t kPidsNamed = 8;  // of the processes whose descriptors are unreadable

bool isNumber(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(),
                                      [](unsigned char c) { return std::isdigit(c) != 0; });
}

// The last component of the link's target; "" when it is no link.
std::string linkTargetName(const std::string& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  return ec ? "" : target.filename().string();
}

// A character device's number from its sysfs `dev` file ("241:0").
std::optional<dev_t> readDevNumber(const std::string& file) {
  std::ifstream in(file);
  unsigned major = 0, minor = 0;
  char colon = 0;
  if (!(in >> major >> colon >> minor) || colon != ':') return std::nullopt;
  return makedev(major, minor);
}

// The numbers of the GPU's VFIO group and VFIO devices, as sysfs names them.
std::vector<dev_t> vfioDevices(const std::string& bdf) {
  std::vector<dev_t> devices;
  const std::string group = linkTargetName(kSysPciDevices + bdf + kIommuGroupLink);
  const auto group_device =
      isNumber(group) ? readDevNumber(kVfioGroupClass + group + kDevFile) : std::nullopt;
  if (group_device) devices.push_back(*group_device);
  std::error_code ec;
  for (fs::directory_iterator entry(kSysPciDevices + bdf + kVfioDeviceEntries, ec), end;
       !ec && entry != end; entry.increment(ec))
    if (const auto device = readDevNumber(entry->path().string() + kDevFile))
      devices.push_back(*device);
  return devices;
}

// Device number -> the GPUs it belongs to.
using DeviceMap = std::map<dev_t, std::vector<std::string>>;

bool isDenied(int error) { return error == EACCES || error == EPERM; }

// The devices of `devices` that process `pid` holds open, each once. False
// when some of its descriptors cannot be read; a process that ended, or a
// descriptor closed meanwhile, holds nothing.
bool heldDevices(const std::string& pid, const DeviceMap& devices, std::set<dev_t>& held) {
  std::error_code ec;
  fs::directory_iterator fd(kProc + pid + kFdDir, ec);
  if (ec) return !isDenied(ec.value());
  bool readable = true;
  for (const fs::directory_iterator end; !ec && fd != end; fd.increment(ec)) {
    struct stat st {};  // of the file the descriptor refers to
    if (::stat(fd->path().c_str(), &st) != 0)
      readable = readable && !isDenied(errno);
    else if (S_ISCHR(st.st_mode) && devices.count(st.st_rdev))
      held.insert(st.st_rdev);
  }
  return readable && !isDenied(ec.value());
}

std::string processName(const std::string& pid) {
  std::ifstream in(kProc + pid + kCommFile);
  std::string name;
  std::getline(in, name);
  return name;
}

// "descriptors of 3 processes unreadable: 1, 812, 4431", the first few PIDs named.
std::string hiddenReason(const std::vector<pid_t>& pids) {
  std::string text = "descriptors of " + std::to_string(pids.size()) +
                     (pids.size() == 1 ? " process" : " processes") + " unreadable: ";
  for (size_t i = 0; i < pids.size() && i < kPidsNamed; ++i)
    text += (i ? ", " : "") + std::to_string(pids[i]);
  if (pids.size() > kPidsNamed)
    text += " and " + std::to_string(pids.size() - kPidsNamed) + " more";
  return text;
}

// One walk through /proc: each holder added to the GPUs of the devices it
// holds (once per GPU); the processes whose descriptors cannot be read, by
// ascending PID.
std::vector<pid_t> walkProcesses(const DeviceMap& devices, std::map<std::string, Holders>& gpus) {
  std::set<pid_t> hidden;
  std::error_code ec;
  for (fs::directory_iterator entry(kProc, ec), end; !ec && entry != end; entry.increment(ec)) {
    const std::string pid = entry->path().filename().string();
    if (!isNumber(pid)) continue;
    std::set<dev_t> held;
    if (!heldDevices(pid, devices, held)) hidden.insert(static_cast<pid_t>(std::stol(pid)));
    std::set<std::string> bdfs;
    for (const dev_t device : held)
      bdfs.insert(devices.at(device).begin(), devices.at(device).end());
    for (const std::string& bdf : bdfs)
      gpus[bdf].tenants.push_back({static_cast<pid_t>(std::stol(pid)), processName(pid)});
  }
  return {hidden.begin(), hidden.end()};
}

}  // namespace

bool boundToVfio(const std::string& bdf) {
  return linkTargetName(kSysPciDevices + bdf + kDriverLink) == kVfioDriverName;
}

std::map<std::string, Holders> gpuHolders(const std::vector<std::string>& bdfs) {
  std::map<std::string, Holders> gpus;
  DeviceMap devices;
  for (const std::string& bdf : bdfs) {
    if (!boundToVfio(bdf)) continue;
    const std::vector<dev_t> found = vfioDevices(bdf);
    gpus[bdf].hidden = found.empty() ? kNoVfioDevice : "";
    for (const dev_t device : found) devices[device].push_back(bdf);
  }
  if (devices.empty()) return gpus;
  const std::vector<pid_t> hidden = walkProcesses(devices, gpus);
  for (auto& [bdf, holders] : gpus) {
    std::sort(holders.tenants.begin(), holders.tenants.end(),
              [](const Tenant& a, const Tenant& b) { return a.pid < b.pid; });
    if (holders.hidden.empty() && !hidden.empty()) holders.hidden = hiddenReason(hidden);
  }
  return gpus;
}

std::string tenantList(const std::vector<Tenant>& tenants) {
  std::string text;
  for (const Tenant& tenant : tenants)
    text += (text.empty() ? "" : ", ") + std::to_string(tenant.pid) + " " + tenant.name;
  return text;
}
