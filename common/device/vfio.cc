#include "common/device/vfio.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <utility>

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

// A file by device and inode.
using FileId = std::pair<dev_t, ino_t>;
// VFIO group node -> the GPUs of that group.
using NodeMap = std::map<FileId, std::vector<std::string>>;

// The node of the GPU's VFIO group; nothing unless the GPU is bound to
// vfio-pci and its group node exists.
std::optional<FileId> groupNode(const std::string& bdf) {
  if (!boundToVfio(bdf)) return std::nullopt;
  const std::string group = linkTargetName(kSysPciDevices + bdf + kIommuGroupLink);
  struct stat st {};
  if (!isNumber(group) || ::stat((kVfioDevDir + group).c_str(), &st) != 0) return std::nullopt;
  return FileId{st.st_dev, st.st_ino};
}

// The nodes of `nodes` that process `pid` holds open, each once; none when
// its descriptors cannot be listed.
std::set<FileId> heldNodes(const std::string& pid, const NodeMap& nodes) {
  std::set<FileId> held;
  std::error_code ec;
  for (fs::directory_iterator fd(kProc + pid + kFdDir, ec), end; !ec && fd != end;
       fd.increment(ec)) {
    struct stat st {};  // of the file the descriptor refers to
    if (::stat(fd->path().c_str(), &st) == 0 && nodes.count({st.st_dev, st.st_ino}))
      held.insert({st.st_dev, st.st_ino});
  }
  return held;
}

std::string processName(const std::string& pid) {
  std::ifstream in(kProc + pid + kCommFile);
  std::string name;
  std::getline(in, name);
  return name;
}

}  // namespace

bool boundToVfio(const std::string& bdf) {
  return linkTargetName(kSysPciDevices + bdf + kDriverLink) == kVfioDriverName;
}

std::map<std::string, std::vector<Tenant>> gpuTenants(const std::vector<std::string>& bdfs) {
  NodeMap nodes;
  for (const std::string& bdf : bdfs)
    if (const auto node = groupNode(bdf)) nodes[*node].push_back(bdf);
  std::map<std::string, std::vector<Tenant>> tenants;
  std::error_code ec;
  for (fs::directory_iterator entry(kProc, ec), end; !nodes.empty() && !ec && entry != end;
       entry.increment(ec)) {
    const std::string pid = entry->path().filename().string();
    if (!isNumber(pid)) continue;
    for (const FileId& node : heldNodes(pid, nodes))
      for (const std::string& bdf : nodes.at(node))
        tenants[bdf].push_back({static_cast<pid_t>(std::stol(pid)), processName(pid)});
  }
  for (auto& entry : tenants)
    std::sort(entry.second.begin(), entry.second.end(),
              [](const Tenant& a, const Tenant& b) { return a.pid < b.pid; });
  return tenants;
}

std::vector<Tenant> gpuTenants(const std::string& bdf) {
  auto tenants = gpuTenants(std::vector<std::string>{bdf});
  return tenants.count(bdf) ? tenants[bdf] : std::vector<Tenant>{};
}

std::string tenantList(const std::vector<Tenant>& tenants) {
  std::string text;
  for (const Tenant& tenant : tenants)
    text += (text.empty() ? "" : ", ") + std::to_string(tenant.pid) + " " + tenant.name;
  return text;
}
