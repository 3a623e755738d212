#include "common/device/board.h"

#include <algorithm>
#include <array>
#include <stdexcept>

#include "common/device/enumeration.h"
#include "common/device/windows.h"
#include "common/util/shell.h"

namespace {

// Board registers in the register window.
constexpr unsigned int kRegLegacyBoard = 0x7818;  // bits 15..17: board ID of device 0x0001
constexpr unsigned int kRegBoardInfo = 0x78C0;    // bits 0..2: board ID, bits 25..29: product ID
constexpr unsigned int kRegCustomId = 0x78F8;
constexpr unsigned int kRegBoardType = 0x72C0;  // bit 24: QM PCIe board
constexpr unsigned int kQmPcieBit = 1u << 24;

constexpr unsigned int kDeviceLegacy = 0x0001;
constexpr unsigned int kDeviceOwnRules = 0x0210;
constexpr std::array<unsigned int, 5> kBoardIdGroup = {0x0002, 0x0003, 0x0007, 0x000B, 0x000F};
constexpr std::array<unsigned int, 4> kDualChipDevices = {0x0003, 0x0007, 0x000B, 0x000F};
constexpr std::array<unsigned int, 4> kDualChipProducts = {3, 12, 19, 28};

constexpr const char* kCatCommand = "cat ";
constexpr int kDeviceIdOutputSize = 1024;

template <size_t N>
bool contains(const std::array<unsigned int, N>& values, unsigned int value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

bool inBoardIdGroup(unsigned int device_id) { return contains(kBoardIdGroup, device_id); }

unsigned int productIdField(const std::string& bdf) {
  return (getDeviceInfoByReg(bdf, kRegBoardInfo) >> 25) & 0x1F;
}

// The device ID as the shell's cat prints it; std::invalid_argument when it
// prints nothing or no number (the function vanished or the file is unreadable).
unsigned int catDeviceId(const std::string& bdf) {
  const std::string command = kCatCommand + std::string(kSysPciDevices) + bdf + kDeviceIdFile;
  char output[kDeviceIdOutputSize];
  try {
    if (cmdResult(command.c_str(), output, sizeof output) != nullptr)
      return static_cast<unsigned int>(std::stoi(output, nullptr, 16));
  } catch (const std::logic_error&) {  // std::invalid_argument or std::out_of_range
  }
  throw std::invalid_argument("cannot read the device ID of " + bdf);
}

}  // namespace

unsigned int getBoardId(const std::string& bdf, unsigned int device_id) {
  if (device_id == kDeviceLegacy) return (getDeviceInfoByReg(bdf, kRegLegacyBoard) >> 15) & 0x7;
  if (device_id == kDeviceOwnRules || !inBoardIdGroup(device_id)) return 0;
  return getDeviceInfoByReg(bdf, kRegBoardInfo) & 0x7;
}

unsigned int getProductId(const std::string& bdf, unsigned int device_id) {
  return inBoardIdGroup(device_id) ? productIdField(bdf) : 0;
}

unsigned int getCustomId(const std::string& bdf, unsigned int device_id) {
  return inBoardIdGroup(device_id) ? getDeviceInfoByReg(bdf, kRegCustomId) : 0;
}

bool ifDualChipboard(std::string& bdf) {
  unsigned int device_id = catDeviceId(bdf);
  if (contains(kDualChipDevices, device_id)) return true;
  if (device_id == kDeviceOwnRules) return !isQMPcieBoard(bdf);
  return contains(kDualChipProducts, productIdField(bdf));
}

bool isQMPcieBoard(const std::string& bdf) {
  return (getDeviceInfoByReg(bdf, kRegBoardType) & kQmPcieBit) != 0;
}
