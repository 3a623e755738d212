#include "tool/role/evidence.h"

#include <cstring>
#include <sstream>

#include "common/device/exchange_area.h"
#include "common/device/pci_address.h"
#include "common/util/paths.h"
#include "tool/topology.h"
#include "tool/window_table.h"

namespace fs = std::filesystem;

namespace {

// Enough for the first processor's block, whose "flags" line tells.
constexpr size_t kCpuInfoLimit = 64 * 1024;
constexpr const char* kFlagsKey = "flags";
constexpr const char* kHypervisorFlag = "hypervisor";

std::optional<Role> given;

Seat seatOf(const fs::path& device) {
  if (isHostBridgeName(ancestorName(device, 1))) return Seat::kRootBus;
  return isBelowRootPort(device) ? Seat::kBelowRootPort : Seat::kBelowSwitch;
}

// The words after "flags<blanks>:" name the flag.
bool flagsLineNames(const std::string& line, const std::string& flag) {
  const size_t colon = line.find(':');
  if (line.compare(0, strlen(kFlagsKey), kFlagsKey) != 0 || colon == std::string::npos ||
      line.find_first_not_of(" \t", strlen(kFlagsKey)) != colon)
    return false;
  std::istringstream words(line.substr(colon + 1));
  for (std::string word; words >> word;)
    if (word == flag) return true;
  return false;
}

}  // namespace

void setGivenRole(std::optional<Role> role) { given = role; }

GpuSign gpuSign(const fs::path& device, const WindowTable& table) {
  GpuSign sign;
  sign.bdf = device.filename().string();
  sign.seat = seatOf(device);
  if (table.shape == TableShape::kNone) sign.naming = Naming::kNoTable;
  if (table.shape != TableShape::kWellFormed) return sign;
  const auto address = parsePciAddress(sign.bdf);
  const auto own = address ? packedBdf32(*address) : std::nullopt;
  const uint32_t self = static_cast<uint32_t>(areaSelf(table.words[0]));
  sign.naming = own == self ? Naming::kItself : Naming::kOther;
  if (sign.naming == Naming::kOther) sign.named = self;
  return sign;
}

bool hasHypervisorFlag(const std::string& cpuinfo) {
  std::istringstream lines(cpuinfo);
  for (std::string line; std::getline(lines, line);)
    if (flagsLineNames(line, kHypervisorFlag)) return true;
  return false;
}

CpuSign cpuSign() {
  CpuSign sign;
  const RegularFile file = openRegularFile(kCpuInfo);
  if (!file.fd.valid()) {
    sign.reason = std::string(kCpuInfo) + ": " + openFailure(file);
    return sign;
  }
  const BoundedRead read = readBounded(file.fd.get(), kCpuInfoLimit);
  if (read.error != 0) {
    sign.reason = std::string(kCpuInfo) + ": " + readFailure(read.error);
    return sign;
  }
  sign.hypervisor = hasHypervisorFlag(read.bytes);
  return sign;
}

RoleDecision findRole(const std::vector<fs::path>& devices, WindowReads& windows) {
  if (given) return givenRole(*given);
  std::vector<GpuSign> gpus;
  for (const fs::path& device : devices)
    gpus.push_back(gpuSign(device, windows.of(device.filename().string())));
  return decideRole(gpus, cpuSign());
}

RoleDecision findRole(const std::vector<fs::path>& devices) {
  WindowReads windows;
  return findRole(devices, windows);
}
