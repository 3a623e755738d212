#include "common/device/enumeration.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "common/device/pci_address.h"
#include "common/log/console.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kVendorFile = "/vendor";
// Reads the 16-bit word at offset 4 of the function's PCI Express capability:
// a function that no longer answers makes it fail.
constexpr const char* kProbePrefix = "setpci -s ";
constexpr const char* kProbeKeepErrors = " CAP_EXP+4.w >> /dev/null";
constexpr const char* kProbeQuiet = " CAP_EXP+4.w >/dev/null 2>&1";
constexpr const char* kOfflinePathFormat = "Device %s is OFFLINE...\n";
constexpr const char* kOfflineBusIdFormat = "Device %s is offline...\n";
constexpr const char* kMissingDirFormat = "Directory does not exist: %s\n";
constexpr const char* kBadVendorFormat =
    "Error: %s: cannot read vendor ID of %s: no hexadecimal number in %s\n";
constexpr const char* kBadClassFormat =
    "Error: %s: cannot read class code of %s: no hexadecimal number in %s\n";
constexpr unsigned kDisplayClass = 0x03;        // base class
constexpr unsigned kAcceleratorClass = 0x12;    // base class
constexpr unsigned kCoProcessorClass = 0x0b40;  // base class and subclass
constexpr const char* kUnresolvedFormat = "Error: %s: cannot resolve the device path of %s\n";
constexpr const char* kNotAnAddressFormat = "Error: %s: \"%s\" in %s is no PCI address; skipped\n";
constexpr size_t kDomainPrefixLength = 5;
// Why a function was skipped (SkippedFunction::why).
constexpr const char* kNoNumber = "no hexadecimal number in ";
constexpr const char* kNoAnswer = "does not answer its probe (offline)";
constexpr const char* kUnresolved = "its device path cannot be resolved";
constexpr const char* kPhysFnLink = "/physfn";
constexpr const char* kVirtFnPrefix = "virtfn";

// The first word of a sysfs ID file ("0x1cb7\n") as a number; std::stoi's
// exceptions when it holds none (or cannot be opened).
int readHexWord(const std::string& file) {
  std::ifstream in(file);
  std::string word;
  in >> word;
  return std::stoi(word, nullptr, 16);
}

bool existsQuietly(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// How one enumeration probes and reports.
struct Enumeration {
  const char* name;
  const char* probe_suffix;
  const char* offline_format;
  std::vector<SkippedFunction>* left_out = nullptr;  // functions skipped after a message
  bool probe = true;
};

void leaveOut(const Enumeration& how, const std::string& bdf, const std::string& why) {
  if (how.left_out) how.left_out->push_back({bdf, why});
}

// The number in an ID file of the function; nothing after a message naming
// the file when it holds none.
std::optional<unsigned> readIdFile(const Enumeration& how, const std::string& bdf,
                                   const std::string& file, const char* format) {
  const auto id = readSysfsId(file);
  if (!id) {
    reportTo(stderr, Priority::kError, format, how.name, bdf.c_str(), file.c_str());
    leaveOut(how, bdf, kNoNumber + file);
  }
  return id;
}

bool isSupportedGpu(const Enumeration& how, const std::string& entry, const std::string& bdf) {
  const auto vendor = readIdFile(how, bdf, entry + kVendorFile, kBadVendorFormat);
  if (vendor != static_cast<unsigned>(kGpuVendorId)) return false;
  const auto class_code = readIdFile(how, bdf, entry + kClassFile, kBadClassFormat);
  return class_code && isGpuFunction(*vendor, *class_code);
}

bool answersProbe(const Enumeration& how, const std::string& bdf) {
  const std::string command = kProbePrefix + bdf + how.probe_suffix;
  if (!how.probe || system(command.c_str()) == 0) return true;
  report(Priority::kWarning, how.offline_format, bdf.c_str());
  leaveOut(how, bdf, kNoAnswer);
  return false;
}

// Calls visit(entry path, BDF string) for every supported GPU that answers its
// probe. A missing devices directory raises std::filesystem::filesystem_error.
template <typename Visit>
void forEachAnsweringGpu(const Enumeration& how, Visit visit) {
  for (const fs::directory_entry& entry : fs::directory_iterator(kSysPciDevices)) {
    const std::string path = entry.path().string();
    if (!existsQuietly(path + kVendorFile) || !existsQuietly(path + kDeviceIdFile)) continue;
    const std::string bdf = entry.path().filename().string();
    if (isVirtualFunction(path)) continue;
    if (!isPciAddress(bdf)) {  // never placed in the probe's command line
      reportTo(stderr, Priority::kError, kNotAnAddressFormat, how.name, bdf.c_str(),
               kSysPciDevices);
      continue;
    }
    if (!isSupportedGpu(how, path, bdf) || !answersProbe(how, bdf)) continue;
    visit(path, bdf);
  }
}

}  // namespace

bool isGpuFunction(unsigned vendor, unsigned class_code) {
  return vendor == static_cast<unsigned>(kGpuVendorId) &&
         (class_code >> 16 == kDisplayClass || class_code >> 16 == kAcceleratorClass ||
          class_code >> 8 == kCoProcessorClass);
}

bool isGpuFunction(const std::string& dir) {
  const unsigned vendor = static_cast<unsigned>(readHexWord(dir + kVendorFile));
  return vendor == static_cast<unsigned>(kGpuVendorId) &&
         isGpuFunction(vendor, static_cast<unsigned>(readHexWord(dir + kClassFile)));
}

bool isVirtualFunction(const std::string& dir) {
  std::error_code ec;
  return fs::is_symlink(dir + kPhysFnLink, ec);
}

std::vector<std::string> virtualFunctions(const std::string& dir) {
  std::vector<std::string> bdfs;
  std::error_code ec;
  for (fs::directory_iterator entry(dir, ec), end; !ec && entry != end; entry.increment(ec)) {
    if (entry->path().filename().string().rfind(kVirtFnPrefix, 0) != 0) continue;
    std::error_code link_ec;
    const std::string bdf = fs::read_symlink(entry->path(), link_ec).filename().string();
    if (!link_ec && isPciAddress(bdf)) bdfs.push_back(bdf);
  }
  std::sort(bdfs.begin(), bdfs.end());
  return bdfs;
}

std::set<fs::path> GetAllDevicePath(std::vector<SkippedFunction>* left_out, bool probe) {
  const Enumeration how{"GetAllDevicePath", kProbeKeepErrors, kOfflinePathFormat, left_out, probe};
  std::set<fs::path> devices;
  forEachAnsweringGpu(how, [&](const std::string& entry, const std::string& bdf) {
    char resolved[PATH_MAX];
    if (!realpath(entry.c_str(), resolved)) {  // the device went away during the walk
      reportTo(stderr, Priority::kError, kUnresolvedFormat, how.name, bdf.c_str());
      leaveOut(how, bdf, kUnresolved);
      return;
    }
    devices.insert(fs::path(resolved));
  });
  return devices;
}

std::vector<std::string> GetAllDeviceBusId() {
  const Enumeration how{"GetAllDeviceBusId", kProbeQuiet, kOfflineBusIdFormat};
  std::vector<std::string> bus_ids;
  forEachAnsweringGpu(how,
                      [&](const std::string&, const std::string& bdf) { bus_ids.push_back(bdf); });
  return bus_ids;
}

std::string getDomain() {
  std::error_code ec;
  if (!fs::is_directory(kSysPciDevices, ec)) {
    report(Priority::kError, kMissingDirFormat, kSysPciDevices);
    return "";
  }
  fs::directory_iterator first(kSysPciDevices, ec);
  if (ec || first == fs::directory_iterator()) return "";
  const std::string name = first->path().filename().string();
  // A PCI address's domain may have more than four digits: cut after its ':'.
  return name.substr(0, isPciAddress(name) ? name.find(':') + 1 : kDomainPrefixLength);
}

std::optional<unsigned> readSysfsId(const std::string& file) {
  try {
    return static_cast<unsigned>(readHexWord(file));
  } catch (const std::logic_error&) {  // std::invalid_argument or std::out_of_range
    return std::nullopt;
  }
}

int getDeviceId(const std::string& bdf) {
  return readHexWord(std::string(kSysPciDevices) + bdf + kDeviceIdFile);
}
