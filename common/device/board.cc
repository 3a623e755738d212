#include "common/device/board.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>

#include "common/device/enumeration.h"
#include "common/device/windows.h"
#include "common/util/scoped.h"
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

constexpr const char* kRegisterFile = "/resource2";
constexpr const char* kCatCommand = "cat ";
constexpr int kDeviceIdOutputSize = 1024;

template <size_t N>
bool contains(const std::array<unsigned int, N>& values, unsigned int value) {
  return std::find(values.begin(), values.end(), value) != values.end();
}

bool inBoardIdGroup(unsigned int device_id) { return contains(kBoardIdGroup, device_id); }

unsigned int productIdOf(unsigned int board_info) { return (board_info >> 25) & 0x1F; }
bool isQmBoardType(unsigned int board_type) { return (board_type & kQmPcieBit) != 0; }

unsigned int productIdField(const std::string& bdf) {
  return productIdOf(getDeviceInfoByReg(bdf, kRegBoardInfo));
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

// One board register of a GPU.
using RegisterReader = std::function<unsigned int(unsigned int offset)>;

// The one rule for dual-chip boards, whatever way the device ID and the
// registers are read.
bool isDualChipDevice(unsigned int device_id, const RegisterReader& reg) {
  if (contains(kDualChipDevices, device_id)) return true;
  if (device_id == kDeviceOwnRules) return !isQmBoardType(reg(kRegBoardType));
  return contains(kDualChipProducts, productIdOf(reg(kRegBoardInfo)));
}

// Read-only access to a GPU's register window: opened O_RDONLY, mapped
// PROT_READ. Registers that cannot be read read as 0, as getDeviceInfoByReg's
// do, and are counted; those read are kept with their values.
class ReadOnlyRegisters {
 public:
  explicit ReadOnlyRegisters(const std::string& bdf)
      : fd_(::open((kSysPciDevices + bdf + kRegisterFile).c_str(), O_RDONLY | O_CLOEXEC)),
        error_(fd_.valid() ? 0 : errno),
        size_(windowSize(fd_.get())),
        window_(fd_.get(), size_, PROT_READ) {
    if (error_ == 0 && !window_.valid()) error_ = size_ == 0 ? EINVAL : errno;
  }

  unsigned int operator()(unsigned int offset) const {
    if (!window_.valid() || offset % sizeof(uint32_t) != 0 || offset + sizeof(uint32_t) > size_) {
      ++failures_;
      return 0;
    }
    const uint32_t value = *reinterpret_cast<const volatile uint32_t*>(window_.bytes() + offset);
    words_[offset] = value;
    return value;
  }
  unsigned failures() const { return failures_; }
  int error() const { return error_; }
  size_t size() const { return window_.valid() ? size_ : 0; }
  const std::map<unsigned int, uint32_t>& words() const { return words_; }

 private:
  static size_t windowSize(int fd) {
    struct stat st {};
    return fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
  }

  ScopedFd fd_;
  int error_;
  size_t size_;
  ScopedMapping window_;
  mutable unsigned failures_ = 0;
  mutable std::map<unsigned int, uint32_t> words_;
};

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
  return isDualChipDevice(catDeviceId(bdf),
                          [&](unsigned int offset) { return getDeviceInfoByReg(bdf, offset); });
}

BoardRegisters readBoardRegisters(const std::string& bdf) {
  BoardRegisters board;
  // The device ID from sysfs, read in this process; nothing when unreadable.
  board.device_id = readSysfsId(std::string(kSysPciDevices) + bdf + kDeviceIdFile);
  if (!board.device_id) return board;
  const ReadOnlyRegisters registers(bdf);
  board.dual_chip = isDualChipDevice(*board.device_id, std::cref(registers));
  board.complete = registers.failures() == 0;
  board.window_size = registers.size();
  board.error = registers.error();
  board.words = registers.words();
  return board;
}

BoardRead readBoardReadOnly(const std::string& bdf) {
  const BoardRegisters board = readBoardRegisters(bdf);
  if (!board.device_id) return BoardRead::kNoDeviceId;
  if (!board.complete) return BoardRead::kNoRegisters;
  return board.dual_chip ? BoardRead::kDualChip : BoardRead::kSingleChip;
}

bool isQMPcieBoard(const std::string& bdf) {
  return isQmBoardType(getDeviceInfoByReg(bdf, kRegBoardType));
}
