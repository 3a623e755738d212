// A GPU's register window (resource2) and memory window (resource0).
//
// Nothing stays mapped between calls: every register access maps the whole
// register window, every memory transfer maps the first offset + 256 bytes.
#pragma once

#include <string>

// Bytes mapped past the offset of a memory transfer: the most one transfer moves.
inline constexpr unsigned long kMemoryWindowSpan = 256;

int openRegister(const std::string& bdf);
int openMemory(const std::string& bdf);

// One 32-bit register; 0 on failure (also for an offset outside the window).
unsigned int globalreadReg(int fd, int offset);
// 0 when written, -1 on failure (also for an offset outside the window).
int globalWriteReg(unsigned int fd, int offset, unsigned int value);

// Opens the GPU's register window, reads one register, closes. 0 on failure.
unsigned int getDeviceInfoByReg(std::string bdf, unsigned int offset);

// Copies `length` bytes at `offset` of the file into `buffer`; the descriptor
// stays open. Copies nothing when length > 256 or the mapping fails (also when
// a regular file ends before offset + length).
void readMemoryGlobal(unsigned long length, unsigned long* buffer, int fd, unsigned long offset);
// readMemoryGlobal that tells whether the bytes were copied.
bool readMemoryChecked(unsigned long length, unsigned long* buffer, int fd, unsigned long offset);
// readMemoryChecked through a read-only mapping: `fd` may be open O_RDONLY.
bool readMemoryReadOnly(unsigned long length, unsigned long* buffer, int fd, unsigned long offset);
// Copies `length` bytes from `buffer` to `offset` of the file and closes the
// descriptor. Copies nothing when length > 256 or the mapping fails.
// Transfers return false (or copy nothing) after "Map device memmory failed!"
// with errno telling why (EINVAL for a span past the end of a regular file).
bool writeMemoryGlobal(unsigned long length, unsigned long* buffer, int fd, unsigned long offset);
