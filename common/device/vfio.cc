#include "common/device/vfio.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>

#include "common/device/enumeration.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kDriverLink = "/driver";
constexpr const char* kIommuGroupLink = "/iommu_group";
constexpr const char* kProc = "/proc/";
constexpr const char* kFdDir = "/fd";
constexpr const char* kCommFile = "/comm";

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

struct FileId {
  dev_t dev;
  ino_t ino;
};

// The node of the GPU's VFIO group; nothing unless the GPU is bound to
// vfio-pci and its group node exists.
std::optional<FileId> groupNode(const std::string& bdf) {
  const std::string dir = kSysPciDevices + bdf;
  if (linkTargetName(dir + kDriverLink) != kVfioDriverName) return std::nullopt;
  const std::string group = linkTargetName(dir + kIommuGroupLink);
  struct stat st {};
  if (!isNumber(group) || ::stat((kVfioDevDir + group).c_str(), &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

// Whether process `pid` holds the file open; false when its descriptors
// cannot be listed.
bool holds(const std::string& pid, const FileId& node) {
  std::error_code ec;
  for (fs::directory_iterator fd(kProc + pid + kFdDir, ec), end; !ec && fd != end;
       fd.increment(ec)) {
    struct stat st {};  // of the file the descriptor refers to
    if (::stat(fd->path().c_str(), &st) == 0 && st.st_dev == node.dev && st.st_ino == node.ino)
      return true;
  }
  return false;
}

std::string processName(const std::string& pid) {
  std::ifstream in(kProc + pid + kCommFile);
  std::string name;
  std::getline(in, name);
  return name;
}

}  // namespace

std::vector<Tenant> gpuTenants(const std::string& bdf) {
  std::vector<Tenant> tenants;
  const std::optional<FileId> node = groupNode(bdf);
  if (!node) return tenants;
  std::error_code ec;
  for (const fs::directory_entry& entry : fs::directory_iterator(kProc, ec)) {
    const std::string pid = entry.path().filename().string();
    if (isNumber(pid) && holds(pid, *node))
      tenants.push_back({static_cast<pid_t>(std::stol(pid)), processName(pid)});
  }
  std::sort(tenants.begin(), tenants.end(),
            [](const Tenant& a, const Tenant& b) { return a.pid < b.pid; });
  return tenants;
}

std::string tenantList(const std::vector<Tenant>& tenants) {
  std::string text;
  for (const Tenant& tenant : tenants)
    text += (text.empty() ? "" : ", ") + std::to_string(tenant.pid) + " " + tenant.name;
  return text;
}
