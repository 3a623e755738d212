#include "tool/collect/sysfs.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

#include "common/device/board.h"
#include "common/device/enumeration.h"
#include "common/device/exchange_area.h"
#include "common/device/pci_address.h"
#include "common/device/pci_config.h"
#include "common/device/tamberon_driver.h"
#include "common/device/windows.h"
#include "common/util/scoped.h"
#include "tool/exchange.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSysRoot = "/sys/";
constexpr const char* kSysDevices = "/sys/devices/";
// Files read by p2ptool and by the pciutils it runs.
constexpr const char* kFunctionFiles[] = {"vendor", "device", "class", "irq", "resource"};
constexpr const char* kSubsystemPrefix = "subsystem_";
constexpr const char* kVirtfnPrefix = "virtfn";
constexpr const char* kLinks[] = {"driver", "iommu_group", "physfn", "vfio-dev"};
constexpr const char* kDriverLink = "driver";
constexpr const char* kConfigName = "/config";
constexpr const char* kMinorName = "/minor";
constexpr const char* kRegisterName = "/resource2";
// Below this, the kernel showed a user other than root only the header.
constexpr size_t kConventionalConfigSize = 256;
constexpr size_t kWordBytes = sizeof(uint64_t);
constexpr size_t kRegisterBytes = sizeof(uint32_t);

std::string errorText(int error) { return strerror(error); }

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Resolved directory of every function of the vendor and of every bridge
// above one, by BDF.
std::map<std::string, std::string> functionDirs(Snapshot& snapshot) {
  std::map<std::string, std::string> dirs;
  std::error_code ec;
  for (fs::directory_iterator entry(kSysPciDevices, ec), end; !ec && entry != end;
       entry.increment(ec)) {
    const std::string bdf = entry->path().filename().string();
    if (!isPciAddress(bdf) || readSysfsId(entry->path().string() + "/vendor") != kGpuVendorId)
      continue;
    std::error_code resolve;
    fs::path dir = fs::canonical(entry->path(), resolve);
    if (resolve || !startsWith(dir.string(), kSysDevices)) {
      snapshot.notCollected(entry->path().string(), resolve ? resolve.message() : "outside /sys");
      continue;
    }
    for (; isPciAddress(dir.filename().string()); dir = dir.parent_path())
      dirs[dir.filename().string()] = dir.string();
  }
  if (ec) snapshot.notCollected(kSysPciDevices, ec.message());
  return dirs;
}

// A link as its text; the directory it leads to, when that lies in /sys
// outside the device tree (a driver, an IOMMU group), as an empty directory.
// A directory in its place (vfio-dev) is kept with its subdirectories' names.
void copyLink(Snapshot& snapshot, const std::string& path) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(path, ec);
  if (!ec) {
    snapshot.addLink(memberPath(path), target.string());
    const fs::path lands = (fs::path(path).parent_path() / target).lexically_normal();
    if (startsWith(lands.string(), kSysRoot) && !startsWith(lands.string(), kSysDevices))
      snapshot.addDirectory(memberPath(lands.string()));
    return;
  }
  if (!fs::is_directory(fs::symlink_status(path, ec))) return;
  snapshot.addDirectory(memberPath(path));
  for (fs::directory_iterator entry(path, ec), end; !ec && entry != end; entry.increment(ec))
    if (fs::is_directory(entry->symlink_status()))
      snapshot.addDirectory(memberPath(entry->path().string()));
}

void gatherConfig(Snapshot& snapshot, const std::string& dir) {
  const std::string path = dir + kConfigName;
  const FileRead file = readSmallFile(path, kConfigSpaceSize);
  if (!file.read) return snapshot.notCollected(path, file.reason);
  snapshot.addFile(memberPath(path), withoutSerialNumber(file.bytes), file.status.st_mode);
  if (file.bytes.size() < kConventionalConfigSize)
    snapshot.notCollected(path, "only its first " + std::to_string(file.bytes.size()) +
                                    " bytes are shown to this user");
}

// The minor the GPU driver gives the GPU, and the driver's entry for it.
void gatherMinor(Snapshot& snapshot, const std::string& bdf, const std::string& dir) {
  const FileRead file = readSmallFile(minorFile(bdf), kSmallFileLimit);
  if (!file.read) return snapshot.notCollected(minorFile(bdf), file.reason);
  snapshot.addFile(memberPath(dir + kMinorName), file.bytes, file.status.st_mode);
  copyLink(snapshot, std::string(kDriverDir) + "/" + bdf);
}

// Word 0 of the exchange area and as many words as it counts, at most the
// largest area, read as p2ptool -s reads them.
void gatherArea(Snapshot& snapshot, const std::string& dir) {
  const std::string path = dir + kWindowFile;
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  uint64_t words[kMemoryWindowSpan / kWordBytes] = {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 ||
      !readMemoryReadOnly(kMemoryWindowSpan, reinterpret_cast<unsigned long*>(words), fd.get(),
                          kExchangeOffset))
    return snapshot.notCollected(path, errorText(errno));
  const unsigned count = std::clamp(areaWordCount(words[0]), 1u, kMaxAreaWords);
  const std::string area(reinterpret_cast<const char*>(words), count * kWordBytes);
  const uint64_t size = std::max<uint64_t>(st.st_size, kExchangeOffset + area.size());
  snapshot.addSparse(memberPath(path), size, {{kExchangeOffset, area}}, st.st_mode);
}

// The registers board detection reads, each at its offset.
void gatherRegisters(Snapshot& snapshot, const std::string& bdf, const std::string& dir) {
  const BoardRegisters board = readBoardRegisters(bdf);
  const std::string path = dir + kRegisterName;
  if (board.error != 0) snapshot.notCollected(path, errorText(board.error));
  if (!board.device_id || board.window_size == 0) return;
  std::map<uint64_t, std::string> words;
  for (const auto& [offset, value] : board.words) {
    std::string bytes(kRegisterBytes, '\0');
    for (size_t i = 0; i < kRegisterBytes; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
    words[offset] = bytes;
  }
  snapshot.addSparse(memberPath(path), board.window_size, words, S_IRUSR | S_IWUSR);
}

void gatherFunction(Snapshot& snapshot, const std::string& bdf, const std::string& dir) {
  snapshot.addDirectory(memberPath(dir));
  for (const char* name : kFunctionFiles) copyFile(snapshot, dir + "/" + name);
  gatherConfig(snapshot, dir);
  std::error_code ec;
  for (fs::directory_iterator entry(dir, ec), end; !ec && entry != end; entry.increment(ec)) {
    const std::string name = entry->path().filename().string();
    if (startsWith(name, kSubsystemPrefix) && entry->is_regular_file())
      copyFile(snapshot, entry->path().string());
    else if (startsWith(name, kVirtfnPrefix))
      copyLink(snapshot, entry->path().string());
  }
  for (const char* name : kLinks) copyLink(snapshot, dir + "/" + name);
  copyLink(snapshot, kSysPciDevices + bdf);
  const auto vendor = readSysfsId(dir + "/vendor");
  const auto class_code = readSysfsId(dir + "/class");
  if (!vendor || !class_code || !isGpuFunction(*vendor, *class_code)) return;
  const fs::path driver = fs::read_symlink(dir + "/" + kDriverLink, ec);
  if (!ec && driver.filename() == kDriverName) gatherMinor(snapshot, bdf, dir);
  gatherArea(snapshot, dir);
  gatherRegisters(snapshot, bdf, dir);
}

}  // namespace

std::vector<std::string> gatherSysfs(Snapshot& snapshot) {
  snapshot.addDirectory(memberPath(kSysDevices));
  snapshot.addDirectory(memberPath(kSysPciDevices));
  std::vector<std::string> functions;
  for (const auto& [bdf, dir] : functionDirs(snapshot)) {
    gatherFunction(snapshot, bdf, dir);
    functions.push_back(bdf);
  }
  return functions;
}

std::string withoutSerialNumber(const std::string& config) {
  const ConfigSpace space(std::vector<uint8_t>(config.begin(), config.end()));
  const auto at = space.findExtendedCapability(kExtCapIdSerialNumber);
  std::string bytes = config;
  if (at && *at + kSerialNumberInCap < bytes.size())
    std::fill_n(bytes.begin() + static_cast<long>(*at + kSerialNumberInCap),
                std::min(kSerialNumberSize, bytes.size() - *at - kSerialNumberInCap), '\0');
  return bytes;
}
