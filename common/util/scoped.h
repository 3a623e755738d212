// Small owners for the raw resources the library hands around: a file
// descriptor, a shared mapping, a popen() pipe, a stdio FILE, a child
// process, and standard output sent to standard error for a while. Each closes
// what it holds when it goes out of scope, so no return path leaks it.
#pragma once

#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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

// A child process that is killed (SIGKILL) and reaped when it goes out of
// scope unless it was waited for, so that no path leaves it running.
class ScopedChild {
 public:
  explicit ScopedChild(pid_t pid = -1) : pid_(pid) {}
  ScopedChild(const ScopedChild&) = delete;
  ScopedChild& operator=(const ScopedChild&) = delete;
  ~ScopedChild() { reset(); }

  pid_t get() const { return pid_; }
  // Kills and reaps the child held, if any; then holds `pid`.
  void reset(pid_t pid = -1) {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait(0);
    }
    pid_ = pid;
  }
  // Waits for the child with waitpid(`options`); returns waitpid's result
  // (the PID once it ended, then its status is in `status`). The child is
  // forgotten once it ended.
  pid_t wait(int options, int* status = nullptr) {
    int ignored = 0;
    pid_t done;
    do {
      done = ::waitpid(pid_, status ? status : &ignored, options);
    } while (done < 0 && errno == EINTR);
    if (done == pid_ || (done < 0 && errno == ECHILD)) pid_ = -1;
    return done;
  }

 private:
  pid_t pid_;
};

// While alive, what is printed on standard output goes to standard error, so
// that standard output carries one document (a report, an archive) alone.
class StdoutToStderr {
 public:
  StdoutToStderr() : saved_((fflush(stdout), ::dup(STDOUT_FILENO))) {
    if (saved_ >= 0) ::dup2(STDERR_FILENO, STDOUT_FILENO);
  }
  StdoutToStderr(const StdoutToStderr&) = delete;
  StdoutToStderr& operator=(const StdoutToStderr&) = delete;
  ~StdoutToStderr() {
    if (saved_ < 0) return;
    fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }

 private:
  int saved_;
};
