#include "common/util/capture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "common/util/scoped.h"

namespace {

constexpr int kNotExecutedStatus = 127;
constexpr int kSignalStatusBase = 128;
constexpr size_t kReadChunk = 65536;
constexpr const char* kDevNull = "/dev/null";

struct Pipe {
  ScopedFd read;
  ScopedFd write;
};

bool makePipe(Pipe& pipe) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  pipe.read.reset(fds[0]);
  pipe.write.reset(fds[1]);
  return true;
}

// In the child: standard streams in place, then the program. Only system
// calls from here on.
[[noreturn]] void execChild(char* const* argv, int out, int err) {
  const int in = ::open(kDevNull, O_RDONLY);
  if (in < 0 || ::dup2(in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0 ||
      ::dup2(err, STDERR_FILENO) < 0)
    ::_exit(kNotExecutedStatus);
  ::execvp(argv[0], argv);
  const char* reason = strerror(errno);
  const char* parts[] = {argv[0], ": ", reason, "\n"};
  for (const char* part : parts) {
    const ssize_t ignored = ::write(STDERR_FILENO, part, strlen(part));
    (void)ignored;
  }
  ::_exit(kNotExecutedStatus);
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return WIFSIGNALED(status) ? kSignalStatusBase + WTERMSIG(status) : -1;
}

// Reads both streams until they end, the deadline passes or one grows past
// the limit. True when both ended.
bool drain(Pipe& out, Pipe& err, Captured& captured, int timeout_ms, size_t limit) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  pollfd fds[2] = {{out.read.get(), POLLIN, 0}, {err.read.get(), POLLIN, 0}};
  std::string* texts[2] = {&captured.out, &captured.err};
  for (int open = 2; open > 0;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      captured.timed_out = true;
      return false;
    }
    if (::poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[kReadChunk];
      const ssize_t got = ::read(fds[i].fd, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        fds[i].fd = -1;
        --open;
        continue;
      }
      texts[i]->append(chunk, static_cast<size_t>(got));
      if (texts[i]->size() > limit) {
        texts[i]->resize(limit);
        captured.cut = true;
        return false;
      }
    }
  }
  return true;
}

}  // namespace

Captured runCaptured(const std::vector<std::string>& argv, int timeout_ms, size_t limit) {
  Captured captured;
  if (argv.empty()) return captured;
  std::vector<std::string> args = argv;
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  Pipe out, err;
  if (!makePipe(out) || !makePipe(err)) {
    captured.err = std::string("cannot make a pipe: ") + strerror(errno);
    return captured;
  }
  ScopedChild child(::fork());
  if (child.get() < 0) {
    captured.err = std::string("cannot start ") + argv[0] + ": " + strerror(errno);
    return captured;
  }
  if (child.get() == 0) execChild(pointers.data(), out.write.get(), err.write.get());
  out.write.reset();
  err.write.reset();
  if (!drain(out, err, captured, timeout_ms, limit)) ::kill(child.get(), SIGKILL);
  int status = 0;
  if (child.wait(0, &status) > 0) captured.status = decodeStatus(status);
  return captured;
}
