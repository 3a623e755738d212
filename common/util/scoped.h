// Small owners for the raw resources the library hands around: a file
// descriptor, a shared mapping, a popen() pipe and a stdio FILE. Each closes
// what it holds when it goes out of scope, so no return path leaks it.
#pragma once

#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <utility>

class ScopedFd {
 public:
  ScopedFd() = default;
  explicit ScopedFd(int fd) : fd_(fd) {}
  ScopedFd(const ScopedFd&) = delete;
  ScopedFd& operator=(const ScopedFd&) = delete;
  ScopedFd(ScopedFd&& other) noexcept : fd_(other.take()) {}
  ScopedFd& operator=(ScopedFd&& other) noexcept {
    reset(other.take());
    return *this;
  }
  ~ScopedFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Hands the descriptor over to the caller; this owner forgets it.
  int take() { return std::exchange(fd_, -1); }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// A shared mapping of the first `length` bytes of a descriptor, read/write
// unless asked for PROT_READ only.
class ScopedMapping {
 public:
  ScopedMapping(int fd, size_t length, int protection = PROT_READ | PROT_WRITE)
      : length_(length),
        addr_(length == 0 ? MAP_FAILED : ::mmap(nullptr, length, protection, MAP_SHARED, fd, 0)) {}
  ScopedMapping(const ScopedMapping&) = delete;
  ScopedMapping& operator=(const ScopedMapping&) = delete;
  ~ScopedMapping() { unmap(); }

  bool valid() const { return addr_ != MAP_FAILED; }
  unsigned char* bytes() const { return static_cast<unsigned char*>(addr_); }
  size_t length() const { return length_; }
  // Unmaps now; returns munmap's result (0 when nothing was mapped).
  int unmap() {
    if (addr_ == MAP_FAILED) return 0;
    int rc = ::munmap(addr_, length_);
    addr_ = MAP_FAILED;
    return rc;
  }

 private:
  size_t length_;
  void* addr_;
};

// A popen() pipe that is pclose()d when it goes out of scope.
class ScopedPipe {
 public:
  ScopedPipe(const char* command, const char* mode) : fp_(::popen(command, mode)) {}
  ScopedPipe(const ScopedPipe&) = delete;
  ScopedPipe& operator=(const ScopedPipe&) = delete;
  ~ScopedPipe() { close(); }

  FILE* get() const { return fp_; }
  explicit operator bool() const { return fp_ != nullptr; }
  // Waits for the command; returns pclose()'s status, -1 when nothing is open.
  int close() {
    if (!fp_) return -1;
    int status = ::pclose(fp_);
    fp_ = nullptr;
    return status;
  }

 private:
  FILE* fp_;
};

// A stdio stream that is fclose()d when it goes out of scope.
class ScopedFile {
 public:
  explicit ScopedFile(FILE* fp = nullptr) : fp_(fp) {}
  ScopedFile(const char* path, const char* mode) : fp_(::fopen(path, mode)) {}
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;
  ~ScopedFile() { reset(); }

  FILE* get() const { return fp_; }
  explicit operator bool() const { return fp_ != nullptr; }
  FILE* release() { return std::exchange(fp_, nullptr); }
  void reset(FILE* fp = nullptr) {
    if (fp_) ::fclose(fp_);
    fp_ = fp;
  }

 private:
  FILE* fp_;
};
