#include "common/device/windows.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/device/enumeration.h"
#include "common/log/console.h"
#include "common/log/qzlogger.h"
#include "common/util/scoped.h"

namespace {

constexpr const char* kRegisterFile = "/resource2";
constexpr const char* kMemoryFile = "/resource0";
constexpr const char* kOpenRegisterFailed = "Failed to open register for %s.\n";
constexpr const char* kOpenMemoryFailed = "Failed to open memory for %s.\n";
constexpr const char* kFstatFailed = "fstat failed";
constexpr const char* kMapReadRegFailed = "Map device register failed when readReg!\n";
constexpr const char* kMapWriteRegFailed = "Map device register failed!\n";
constexpr const char* kOffsetOutside =
    "Register offset %d is outside the %lld-byte register window.\n";
constexpr const char* kNotAligned = "Address(%d) is not aligned.\n";
constexpr const char* kMapMemoryFailed = "Map device memmory failed!\n";
constexpr const char* kLengthRefused = "Memory transfer of %lu bytes refused: at most %lu bytes.\n";
constexpr int kRegisterBytes = sizeof(uint32_t);

int openWindow(const std::string& bdf, const char* file, const char* failure_format) {
  const std::string path = std::string(kSysPciDevices) + bdf + file;
  int fd = open(path.c_str(), O_RDWR);
  if (fd < 0) report(Priority::kError, failure_format, bdf.c_str());
  return fd;
}

// Size of the register window behind fd, or -1 after reporting why not.
off_t registerWindowSize(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0) {
    reportTo(stderr, Priority::kError, "%s: %s\n", kFstatFailed, strerror(errno));
    return -1;
  }
  return info.st_size;
}

// A whole 32-bit register must lie inside the window.
bool offsetInWindow(int offset, off_t size) {
  if (offset >= 0 && static_cast<off_t>(offset) <= size - kRegisterBytes) return true;
  qzlogger::logger(Fatal, kOffsetOutside, offset, static_cast<long long>(size));
  return false;
}

volatile uint32_t* registerAt(const ScopedMapping& window, int offset) {
  return reinterpret_cast<volatile uint32_t*>(window.bytes() + offset);
}

// The failure message, errno kept for the caller.
void printMapFailure() {
  const int error = errno;
  report(Priority::kError, "%s", kMapMemoryFailed);
  errno = error;
}

// Whether the mapped span fits the address space and, for a regular file,
// `length` bytes at `offset` lie inside it.
bool spanInside(const struct stat& info, unsigned long length, unsigned long offset) {
  if (offset > SIZE_MAX - kMemoryWindowSpan) return false;
  if (!S_ISREG(info.st_mode)) return true;
  const auto size = static_cast<unsigned long>(info.st_size);
  return size >= offset && size - offset >= length;
}

// Whether `length` bytes at `offset` may be moved: at most one span, and, for
// a regular file, inside the file (touching a mapped page past its end faults).
bool transferFits(unsigned long length, int fd, unsigned long offset) {
  if (length > kMemoryWindowSpan) {
    report(Priority::kError, kLengthRefused, length, kMemoryWindowSpan);
    return false;
  }
  struct stat info;
  bool fits = fstat(fd, &info) == 0;
  if (fits && !spanInside(info, length, offset)) {
    fits = false;
    errno = EINVAL;  // what mapping past the end of a device's window gives
  }
  if (!fits) printMapFailure();
  return fits;
}

// Maps the first offset + 256 bytes of fd and hands copy() the address of
// offset. False when nothing was copied.
template <typename Copy>
bool transfer(unsigned long length, int fd, unsigned long offset, Copy copy,
              int protection = PROT_READ | PROT_WRITE) {
  if (!transferFits(length, fd, offset)) return false;
  ScopedMapping window(fd, offset + kMemoryWindowSpan, protection);
  if (!window.valid()) {
    printMapFailure();
    return false;
  }
  copy(window.bytes() + offset);
  return true;
}

bool readInto(unsigned long length, unsigned long* buffer, int fd, unsigned long offset,
              int protection) {
  return transfer(
      length, fd, offset,
      [&](const unsigned char* at) {
        if (length > 0) memcpy(buffer, at, length);  // an empty buffer may have no address
      },
      protection);
}

}  // namespace

int openRegister(const std::string& bdf) {
  return openWindow(bdf, kRegisterFile, kOpenRegisterFailed);
}

int openMemory(const std::string& bdf) { return openWindow(bdf, kMemoryFile, kOpenMemoryFailed); }

unsigned int globalreadReg(int fd, int offset) {
  off_t size = registerWindowSize(fd);
  if (size < 0 || !offsetInWindow(offset, size)) return 0;
  ScopedMapping window(fd, size);
  if (!window.valid()) {
    qzlogger::logger(Fatal, kMapReadRegFailed);
    return 0;
  }
  if (offset % kRegisterBytes != 0) {
    report(Priority::kWarning, kNotAligned, offset);
    offset -= offset % kRegisterBytes;  // the word that holds the addressed byte
  }
  return *registerAt(window, offset);
}

int globalWriteReg(unsigned int fd, int offset, unsigned int value) {
  off_t size = registerWindowSize(static_cast<int>(fd));
  if (size < 0 || !offsetInWindow(offset, size)) return -1;
  ScopedMapping window(static_cast<int>(fd), size);
  if (!window.valid()) {
    qzlogger::logger(Fatal, kMapWriteRegFailed);
    return -1;
  }
  *registerAt(window, offset) = value;
  return window.unmap();
}

unsigned int getDeviceInfoByReg(std::string bdf, unsigned int offset) {
  ScopedFd fd(openRegister(bdf));
  if (!fd.valid()) return 0;
  return globalreadReg(fd.get(), static_cast<int>(offset));
}

void readMemoryGlobal(unsigned long length, unsigned long* buffer, int fd, unsigned long offset) {
  readMemoryChecked(length, buffer, fd, offset);
}

bool readMemoryChecked(unsigned long length, unsigned long* buffer, int fd, unsigned long offset) {
  return readInto(length, buffer, fd, offset, PROT_READ | PROT_WRITE);
}

bool readMemoryReadOnly(unsigned long length, unsigned long* buffer, int fd, unsigned long offset) {
  return readInto(length, buffer, fd, offset, PROT_READ);
}

bool writeMemoryGlobal(unsigned long length, unsigned long* buffer, int fd, unsigned long offset) {
  ScopedFd owned(fd);  // this transfer ends the descriptor's life, whatever happens
  const bool done = transfer(length, fd, offset, [&](unsigned char* at) {
    if (length > 0) memcpy(at, buffer, length);
  });
  const int error = errno;
  owned.reset();
  errno = error;
  return done;
}
