// Board identification from a GPU's board registers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

unsigned int getBoardId(const std::string& bdf, unsigned int device_id);
unsigned int getProductId(const std::string& bdf, unsigned int device_id);
unsigned int getCustomId(const std::string& bdf, unsigned int device_id);

// True when the GPU is one chip of a dual-chip board. Throws
// std::invalid_argument when its device ID cannot be read as a number.
bool ifDualChipboard(std::string& bdf);

// What a read-only look tells of a GPU's board.
enum class BoardRead { kSingleChip, kDualChip, kNoDeviceId, kNoRegisters };

// ifDualChipboard's answer, found without a process and without writing: the
// device ID read from sysfs, the registers through a read-only mapping of the
// register window. kNoDeviceId when the device ID cannot be read, kNoRegisters
// when the answer needs a register the window does not give (a window that
// cannot be opened or mapped, as for a user other than root): nothing is guessed.
BoardRead readBoardReadOnly(const std::string& bdf);

// What readBoardReadOnly reads of a GPU, and how: the device ID, and the
// registers its board needs, each read once through a read-only mapping of
// the register window (no other register is touched).
struct BoardRegisters {
  std::optional<unsigned int> device_id;   // nothing when unreadable
  bool dual_chip = false;                  // the answer, when `complete`
  bool complete = false;                   // every register needed was read
  size_t window_size = 0;                  // of the register window; 0 when not opened
  int error = 0;                           // errno of a window that could not be opened or mapped
  std::map<unsigned int, uint32_t> words;  // offset -> value of each register read
};
BoardRegisters readBoardRegisters(const std::string& bdf);

// The QM PCIe board bit (bit 24 of register 0x72C0).
bool isQMPcieBoard(const std::string& bdf);
