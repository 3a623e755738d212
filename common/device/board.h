// Board identification from a GPU's board registers.
#pragma once

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

// The QM PCIe board bit (bit 24 of register 0x72C0).
bool isQMPcieBoard(const std::string& bdf);
