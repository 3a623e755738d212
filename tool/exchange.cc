#include "tool/exchange.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "common/device/pci_address.h"
#include "common/log/console.h"
#include "tool/config_readers.h"
#include "tool/undone.h"

namespace {

constexpr const char* kUnassignedBar0 =
    "\033[31mError:\033[0m GPU %s: BAR0 reads %lx, not an assigned address; left out of every "
    "table\n";
constexpr const char* kTooWide =
    "\033[31mError:\033[0m GPU %s: its PCI address does not fit the 32-bit self field; left out "
    "of every table\n";
constexpr const char* kCollision =
    "\033[31mError:\033[0m GPUs %s and %s of group %s both pack to %x; nothing written for the "
    "group\n";

}  // namespace

std::vector<unsigned long> buildExchangeArea(const std::string& self, const BarMap& group) {
  const unsigned long words = 1 + 2 * group.size();
  std::vector<unsigned long> area;
  area.reserve(words);
  area.push_back(packedBdf(parsePciAddress(self).value()) | words << 32);
  for (const auto& [bdf, bar0] : group) {
    area.push_back(packedBdf(parsePciAddress(bdf).value()));
    area.push_back(bar0);
  }
  return area;
}

TablePlan planTable(const BarMap& group) {
  TablePlan plan;
  std::map<uint32_t, std::string> owners;  // packed number -> GPU
  for (const auto& [bdf, bar0] : group) {
    if (!isAssignedBar0(bar0)) {
      plan.left_out.push_back({bdf, LeftOutReason::kUnassignedBar0, "", 0});
      continue;
    }
    const auto address = parsePciAddress(bdf);
    const auto packed = address ? packedBdf32(*address) : std::nullopt;
    if (!packed) {
      plan.left_out.push_back({bdf, LeftOutReason::kTooWide, "", 0});
      continue;
    }
    const auto [owner, fresh] = owners.emplace(*packed, bdf);
    if (!fresh) {
      plan.left_out.push_back({bdf, LeftOutReason::kSamePacked, owner->second, *packed});
      plan.collision = true;
    }
    plan.members[bdf] = bar0;
  }
  return plan;
}

const LeftOut* TablePlan::whyNoTable(const std::string& bdf) const {
  const LeftOut* collided = nullptr;
  for (const LeftOut& gpu : left_out) {
    if (gpu.bdf == bdf) return &gpu;
    if (gpu.reason == LeftOutReason::kSamePacked && !collided) collided = &gpu;
  }
  return collided;
}

TablePlan planGroupTable(const BarMap& group) {
  if (fitsOneArea(group)) return planTable(group);
  TablePlan plan;
  plan.too_large = true;
  return plan;
}

std::optional<BarMap> tableMembers(const std::string& key, const BarMap& group) {
  const TablePlan plan = planTable(group);
  reportLeftOuts(key, group, plan.left_out);
  if (plan.collision) return std::nullopt;
  return plan.members;
}

namespace {

// The message about one GPU left out of group `key`.
void reportLeftOut(const std::string& key, const BarMap& group, const LeftOut& gpu) {
  switch (gpu.reason) {
    case LeftOutReason::kUnassignedBar0:
      report(Priority::kError, kUnassignedBar0, gpu.bdf.c_str(), group.at(gpu.bdf));
      break;
    case LeftOutReason::kTooWide:
      report(Priority::kError, kTooWide, gpu.bdf.c_str());
      break;
    case LeftOutReason::kSamePacked:
      report(Priority::kError, kCollision, gpu.other.c_str(), gpu.bdf.c_str(), key.c_str(),
             gpu.packed);
      break;
  }
}

}  // namespace

void reportLeftOuts(const std::string& key, const BarMap& group,
                    const std::vector<LeftOut>& left_out) {
  for (const LeftOut& gpu : left_out) reportLeftOut(key, group, gpu);
  if (!left_out.empty()) leaveUndone();
}

void reportGpuFailure(const std::string& bdf, int error) {
  reportReason(Priority::kError, "GPU " + bdf, error);
}

std::optional<std::filesystem::path> findDevicePath(const std::set<std::filesystem::path>& devices,
                                                    const std::string& bdf) {
  for (const auto& device : devices)
    if (device.filename() == bdf) return device;
  return std::nullopt;
}

void reportWindowUnopened(const std::string& window, const std::string& bdf, int error) {
  report(Priority::kError, "\033[31mError:\033[0m Failed to open %s\n", window.c_str());
  reportGpuFailure(bdf, error);
}

int openWindow(const std::filesystem::path& device) {
  const std::string window = device.string() + kWindowFile;
  const int fd = ::open(window.c_str(), O_RDWR);
  if (fd < 0) reportWindowUnopened(window, device.filename().string(), errno);
  return fd;
}
