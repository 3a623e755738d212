// Host side: write each GPU's exchange area into its memory window.
#include <cerrno>
#include <cstdio>

#include "common/device/windows.h"
#include "common/log/console.h"
#include "tool/exchange.h"
#include "tool/undone.h"

namespace {

constexpr const char* kUngrouped = "GPU %s sits %s: in no group, no exchange table written\n";

void writeArea(const std::filesystem::path& device, const std::string& self, const BarMap& group) {
  const int fd = openWindow(device);
  if (fd < 0) {
    leaveUndone();
    return;
  }
  std::vector<unsigned long> area = buildExchangeArea(self, group);
  if (!writeMemoryGlobal(area.size() * sizeof(unsigned long), area.data(), fd, kExchangeOffset)) {
    reportGpuFailure(self, errno);
    leaveUndone();
  }
}

}  // namespace

void output_base_addr(const GroupMap& real_host_map,
                      const std::set<std::filesystem::path>& gpu_bus_path_set) {
  for (const auto& [bdf, where] : ungrouped_gpu_map)
    report(Priority::kInfo, kUngrouped, bdf.c_str(), where.c_str());
  for (const auto& [key, group] : real_host_map) {
    if (!fitsOneArea(group)) {
      report(Priority::kError,
             "\033[31mError:\033[0m Group %s has %zu GPUs, more than the %zu an exchange area "
             "holds; nothing written for it\n",
             key.c_str(), group.size(), kMaxGroupSize);
      leaveUndone();
      continue;
    }
    const std::optional<BarMap> members = tableMembers(key, group);
    if (!members) continue;
    for (const auto& member : *members) {
      const auto device = findDevicePath(gpu_bus_path_set, member.first);
      // A GPU a running guest holds stays listed, but no byte reaches it.
      if (device && !gpu_in_use_set.count(member.first)) writeArea(*device, member.first, *members);
    }
  }
}
