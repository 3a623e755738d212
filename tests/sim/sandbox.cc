#include "tests/sim/sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "common/util/scoped.h"
#include "tests/sim/pid_space.h"
#include "tests/sim/tempdir.h"

extern char** environ;

namespace sim {
namespace {

namespace fs = std::filesystem;

constexpr char kSysTarget[] = "/sys";
constexpr char kEtcTarget[] = "/etc";
constexpr char kDevTarget[] = "/dev";
constexpr char kRunTarget[] = "/run";
constexpr char kProcTarget[] = "/proc";
constexpr char kProcType[] = "proc";
constexpr char kCpuInfoTarget[] = "/proc/cpuinfo";
constexpr char kRealDevNull[] = "/dev/null";
constexpr char kDevNullName[] = "/null";
constexpr char kOverlayType[] = "overlay";
constexpr char kRootDir[] = "/";
constexpr char kNoSource[] = "none";
constexpr char kWorkDirInfix[] = ".work.";
constexpr char kPathVariable[] = "PATH=";
constexpr char kDefaultPath[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
constexpr char kTimeoutNote[] = "\n[sandbox: timed out, killed]\n";
constexpr int kPollIntervalMs = 5;
constexpr int kStopGraceMs = 2000;
constexpr int kProbeTimeoutSeconds = 20;
constexpr int kSignalStatusBase = 128;
constexpr char kConfigName[] = "config";
constexpr char kDevicesSubdir[] = "/devices";
constexpr size_t kUserConfigBytes = 64;  // what sysfs shows an unprivileged reader
constexpr mode_t kUserConfigMode = 0644;
constexpr char kWindowPrefix[] =
    "resource";                       // resource0, resource2...: memory and register windows
constexpr mode_t kWindowMode = 0600;  // root's alone, as sysfs makes them
constexpr char kWindowStandIn[] = "window";

// An overlay the child mounts; options are complete (lower, upper, work).
struct OverlayMount {
  std::string target;
  std::string options;
};

// Overlay work directories; removed by the process that made them once the
// child that used them is gone.
class WorkDirs {
 public:
  WorkDirs() = default;
  WorkDirs(const WorkDirs&) = delete;
  WorkDirs& operator=(const WorkDirs&) = delete;
  WorkDirs(WorkDirs&&) = default;
  WorkDirs& operator=(WorkDirs&&) = default;
  ~WorkDirs() {
    if (getpid() != owner_) return;
    std::error_code ec;
    for (const auto& dir : dirs_) fs::remove_all(dir, ec);
  }

  // Makes a fresh sibling of upper for overlayfs' work directory.
  std::string makeFor(const std::string& upper) {
    fs::path up = fs::path(upper).lexically_normal();
    if (up.filename().empty()) up = up.parent_path();
    std::string pattern =
        (up.parent_path() / ("." + up.filename().string() + kWorkDirInfix)).string() + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::system_error(errno, std::generic_category(), pattern);
    dirs_.emplace_back(buffer.data());
    return dirs_.back();
  }

 private:
  std::vector<std::string> dirs_;
  pid_t owner_ = getpid();
};

// Everything the child needs, made before fork so that the child itself only
// makes system calls.
struct Plan {
  const Sandbox* box = nullptr;
  std::vector<std::string> args;
  std::vector<char*> argv;
  std::optional<OverlayMount> etc;
  std::vector<OverlayMount> overlays;
  std::string dev_null;
  // {stand-in, sysfs file as the child sees it} for an unprivileged child: a
  // 64-byte copy of each config, an empty root-only file for each window.
  std::vector<std::pair<std::string, std::string>> user_view;
  std::optional<TempDir> user_view_dir;
  std::string join_namespace;  // /proc/<pid>/ns/mnt of the process to join
  std::string join_root;       // /proc/<pid>/root: its root, which may be a chroot
  std::vector<std::string> env_strings;
  std::vector<char*> envp;
  bool own_group = true;
  WorkDirs work;
};

void checkOverlayPath(const std::string& path) {
  if (path.find_first_of(",:") != std::string::npos)
    throw std::invalid_argument("overlay path must not contain ',' or ':': " + path);
  if (!fs::is_directory(path)) throw std::invalid_argument("not a directory: " + path);
}

OverlayMount makeOverlay(WorkDirs& work, const std::string& upper, const std::string& target) {
  std::string abs_upper = fs::absolute(upper).lexically_normal().string();
  checkOverlayPath(abs_upper);
  checkOverlayPath(target);
  std::string workdir = work.makeFor(abs_upper);
  return {target, "lowerdir=" + target + ",upperdir=" + abs_upper + ",workdir=" + workdir};
}

std::string joinedPath(const std::vector<std::string>& prepend) {
  const char* old = getenv("PATH");
  std::string path;
  for (const auto& dir : prepend) path += fs::absolute(dir).string() + ":";
  return path + (old && *old ? old : kDefaultPath);
}

void prepareEnvironment(Plan& plan) {
  const std::string path_prefix = kPathVariable;
  for (char** entry = environ; entry && *entry; ++entry) {
    if (std::string(*entry).rfind(path_prefix, 0) != 0) plan.env_strings.emplace_back(*entry);
  }
  plan.env_strings.push_back(path_prefix + joinedPath(plan.box->path_prepend));
  for (auto& text : plan.env_strings) plan.envp.push_back(text.data());
  plan.envp.push_back(nullptr);
}

bool isWindowName(const std::string& name) {
  const size_t prefix = sizeof kWindowPrefix - 1;
  return name.size() > prefix && name.compare(0, prefix, kWindowPrefix) == 0 &&
         name.find_first_not_of("0123456789", prefix) == std::string::npos;
}

// What sysfs shows a user other than root below sys/devices: of every config
// file its first 64 bytes, and every memory or register window (resourceN)
// mode 0600 and owned by root. Each stand-in is bound over its file.
void prepareUserView(Plan& plan) {
  const std::string sys = fs::absolute(plan.box->sys).lexically_normal().string();
  plan.user_view_dir.emplace("p2psim-view");
  const std::string window = plan.user_view_dir->write(kWindowStandIn, "");
  chmod(window.c_str(), kWindowMode);
  size_t count = 0;
  for (const auto& entry : fs::recursive_directory_iterator(sys + kDevicesSubdir)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || (name != kConfigName && !isWindowName(name))) continue;
    const std::string target = kSysTarget + entry.path().string().substr(sys.size());
    if (name != kConfigName) {
      plan.user_view.emplace_back(window, target);
      continue;
    }
    std::string bytes = readFile(entry.path().string()).substr(0, kUserConfigBytes);
    const std::string copy = plan.user_view_dir->write(std::to_string(count++), bytes);
    chmod(copy.c_str(), kUserConfigMode);
    plan.user_view.emplace_back(copy, target);
  }
}

// Waits until `pid`, started by start(), runs its program: its sandbox is set
// up then. Throws when that does not happen in time, and at once for the
// caller itself, which is never a sandbox.
void awaitSandboxed(pid_t pid) {
  if (pid == getpid()) throw std::runtime_error("sandbox: the caller itself is no sandbox to join");
  const std::string proc = "/proc/" + std::to_string(pid);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(kProbeTimeoutSeconds);
  std::error_code ec;
  while (fs::read_symlink(proc + "/exe", ec) == fs::read_symlink("/proc/self/exe") ||
         fs::read_symlink(proc + "/ns/mnt", ec) == fs::read_symlink("/proc/self/ns/mnt")) {
    if (ec || std::chrono::steady_clock::now() > deadline)
      throw std::runtime_error("sandbox: process " + std::to_string(pid) +
                               " runs no program in a sandbox of its own");
    usleep(kPollIntervalMs * 1000);
  }
}

std::unique_ptr<Plan> makePlan(const Sandbox& box, const std::vector<std::string>& args) {
  auto plan = std::make_unique<Plan>();
  plan->box = &box;
  plan->args = args;
  for (auto& arg : plan->args) plan->argv.push_back(arg.data());
  plan->argv.push_back(nullptr);
  if (box.join) {
    awaitSandboxed(box.join);
    plan->join_namespace = "/proc/" + std::to_string(box.join) + "/ns/mnt";
    plan->join_root = "/proc/" + std::to_string(box.join) + "/root";
    prepareEnvironment(*plan);
    return plan;
  }
  if (!box.etc_upper.empty()) plan->etc = makeOverlay(plan->work, box.etc_upper, kEtcTarget);
  for (const auto& [upper, target] : box.overlays)
    plan->overlays.push_back(makeOverlay(plan->work, upper, target));
  if (!box.dev.empty()) plan->dev_null = box.dev + kDevNullName;
  if (box.uid != 0 && !box.sys.empty()) prepareUserView(*plan);
  prepareEnvironment(*plan);
  return plan;
}

// --- child side: only system calls and snprintf from here to the exec ---

// Writes "sandbox: <what> <arg>: <errno text>" to standard error.
void childReport(const char* what, const char* arg) {
  char message[1024];
  int length = snprintf(message, sizeof message, "sandbox: %s %s: %s\n", what, arg ? arg : "",
                        strerror(errno));
  if (length > 0) {
    ssize_t ignored = write(STDERR_FILENO, message, static_cast<size_t>(length));
    (void)ignored;
  }
}

[[noreturn]] void childFail(const char* what, const char* arg) {
  childReport(what, arg);
  _exit(kSetupFailedStatus);
}

// EINVAL here means / is no mount point, as inside a plain chroot: say so and
// how to make it one.
[[noreturn]] void childMakePrivateFail() {
  const bool no_mount_point = errno == EINVAL;
  childReport("cannot make mounts private", kRootDir);
  if (no_mount_point) {
    static const char kHint[] =
        "sandbox: / is not a mount point, as in a plain chroot; bind-mount the root onto itself "
        "before entering the chroot: mount --bind DIR DIR && chroot DIR\n";
    ssize_t ignored = write(STDERR_FILENO, kHint, sizeof kHint - 1);
    (void)ignored;
  }
  _exit(kSetupFailedStatus);
}

void childBind(const std::string& source, const char* target) {
  if (mount(source.c_str(), target, nullptr, MS_BIND | MS_REC, nullptr) != 0)
    childFail("cannot bind over", target);
}

void childOverlay(const OverlayMount& overlay) {
  if (mount(kOverlayType, overlay.target.c_str(), kOverlayType, 0, overlay.options.c_str()) != 0)
    childFail("cannot mount overlay", overlay.options.c_str());
}

void childDev(const Plan& plan) {
  int fd = open(plan.dev_null.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) childFail("cannot create", plan.dev_null.c_str());
  close(fd);
  if (mount(kRealDevNull, plan.dev_null.c_str(), nullptr, MS_BIND, nullptr) != 0)
    childFail("cannot bind /dev/null onto", plan.dev_null.c_str());
  childBind(plan.box->dev, kDevTarget);
}

void childDropUser(const Sandbox& box) {
  if (box.uid == 0 && box.gid == 0) return;
  if (setgroups(0, nullptr) != 0) childFail("setgroups", nullptr);
  if (setgid(box.gid) != 0) childFail("setgid", nullptr);
  if (setuid(box.uid) != 0) childFail("setuid", nullptr);
}

// Joins the mount namespace of the sandbox to join, and its root: setns()
// leaves the caller at the namespace's own root, which is not the sandbox's
// when the sandbox runs inside a chroot. Never the caller's own namespace,
// whose /etc and /run are the machine's.
void childJoin(const Plan& plan) {
  const int root = open(plan.join_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) childFail("cannot open", plan.join_root.c_str());
  const int fd = open(plan.join_namespace.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat target {
  }, own{};
  if (fd < 0 || fstat(fd, &target) != 0 || stat("/proc/self/ns/mnt", &own) != 0)
    childFail("cannot open", plan.join_namespace.c_str());
  if (target.st_ino == own.st_ino && target.st_dev == own.st_dev) {
    errno = EALREADY;
    childFail("refusing to join the caller's own mount namespace,", plan.join_namespace.c_str());
  }
  if (setns(fd, CLONE_NEWNS) != 0) childFail("cannot join", plan.join_namespace.c_str());
  close(fd);
  if (fchdir(root) != 0 || chroot(".") != 0 || chdir("/") != 0)
    childFail("cannot enter the root of", plan.join_root.c_str());
  close(root);
}

void childMount(const Plan& plan) {
  const Sandbox& box = *plan.box;
  if (unshare(CLONE_NEWNS) != 0) childFail("unshare", "CLONE_NEWNS");
  if (mount(kNoSource, kRootDir, nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    childMakePrivateFail();
  if (!box.sys.empty()) childBind(box.sys, kSysTarget);
  for (const auto& [stand_in, file] : plan.user_view) childBind(stand_in, file.c_str());
  if (plan.etc) childOverlay(*plan.etc);
  if (!box.dev.empty()) childDev(plan);
  if (!box.run.empty()) childBind(box.run, kRunTarget);
  for (const auto& [source, target] : box.binds) childBind(source, target.c_str());
  for (const auto& overlay : plan.overlays) childOverlay(overlay);
  if (!box.pids.empty() &&
      mount(kProcType, kProcTarget, kProcType, MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
    childFail("cannot mount", kProcTarget);
  if (!box.cpuinfo.empty()) childBind(box.cpuinfo, kCpuInfoTarget);
}

void childEnter(const Plan& plan) {
  const Sandbox& box = *plan.box;
  if (plan.own_group && setpgid(0, 0) != 0) childFail("setpgid", nullptr);
  if (box.join)
    childJoin(plan);
  else
    childMount(plan);
  environ = const_cast<char**>(plan.envp.data());
  childDropUser(box);
}

// Descriptors the child takes as its standard streams; -1 keeps the caller's.
struct ChildIo {
  int in = -1;
  int out = -1;
  int err = -1;
};

void childRedirect(const ChildIo& io) {
  if (io.in >= 0 && dup2(io.in, STDIN_FILENO) < 0) childFail("dup2", "stdin");
  if (io.out >= 0 && dup2(io.out, STDOUT_FILENO) < 0) childFail("dup2", "stdout");
  if (io.err >= 0 && dup2(io.err, STDERR_FILENO) < 0) childFail("dup2", "stderr");
}

[[noreturn]] void childExec(const Plan& plan) {
  execvp(plan.argv[0], plan.argv.data());
  int status = errno == ENOENT ? kNotFoundStatus : kCannotExecStatus;
  char message[1024];
  int length = snprintf(message, sizeof message, "sandbox: cannot run %s: %s\n", plan.argv[0],
                        strerror(errno));
  if (length > 0) {
    ssize_t ignored = write(STDERR_FILENO, message, static_cast<size_t>(length));
    (void)ignored;
  }
  _exit(status);
}

[[noreturn]] void childFunction(const std::function<int()>& fn) {
  int status = kFunctionThrewStatus;
  try {
    status = fn() & 0xFF;
  } catch (const std::exception& e) {
    std::cerr << "sandbox: function threw: " << e.what() << std::endl;
  } catch (...) {
    std::cerr << "sandbox: function threw" << std::endl;
  }
  std::cout.flush();
  std::cerr.flush();
  fflush(nullptr);
  _exit(status);
}

// The standard streams the box asks to be broken, last before the body runs.
void childBreakStreams(const Sandbox& box) {
  if (box.stdout_reader_gone) {
    int ends[2];
    if (pipe(ends) != 0 || close(ends[0]) != 0 || dup2(ends[1], STDOUT_FILENO) < 0)
      childFail("cannot break", "stdout");
    close(ends[1]);
  }
  for (int fd : box.closed_streams) close(fd);
}

// --- parent side ---

pid_t spawn(const Plan& plan, const ChildIo& io, const std::function<void()>& body) {
  std::cout.flush();
  std::cerr.flush();
  fflush(nullptr);
  const ChildrenIn pids(plan.box->join ? "" : plan.box->pids);
  pid_t pid = fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    childRedirect(io);
    childEnter(plan);
    childBreakStreams(*plan.box);
    body();
    _exit(kSetupFailedStatus);
  }
  if (plan.own_group) setpgid(pid, pid);  // also done by the child; whoever comes first
  return pid;
}

int decodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return kSignalStatusBase + WTERMSIG(status);
  return -1;
}

void sleepMs(int ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

// Polls for the end of pid for up to timeout_ms (<= 0: forever). Returns the
// status, or nullopt while it still runs.
std::optional<int> pollEnd(pid_t pid, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return decodeStatus(status);
    if (done < 0 && errno != EINTR) return -1;
    if (timeout_ms > 0 && std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    sleepMs(kPollIntervalMs);
  }
}

// Kills pid and, when it leads one, its process group; reaps pid.
int killAndReap(pid_t pid, bool own_group) {
  if (own_group) kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return decodeStatus(status);
}

void killLeftovers(pid_t pid, bool own_group) {
  if (own_group) kill(-pid, SIGKILL);
}

// Waits for pid up to timeout_seconds (0: forever); kills it after that.
int finish(pid_t pid, int timeout_seconds, bool own_group, bool* timed_out) {
  std::optional<int> status = pollEnd(pid, timeout_seconds * 1000);
  *timed_out = !status.has_value();
  int result = status ? *status : killAndReap(pid, own_group);
  killLeftovers(pid, own_group);
  return result;
}

ScopedFd memoryFile(const std::string& content) {
  ScopedFd fd(memfd_create("p2psim", MFD_CLOEXEC));
  if (!fd.valid()) throw std::system_error(errno, std::generic_category(), "memfd_create");
  if (!content.empty() &&
      pwrite(fd.get(), content.data(), content.size(), 0) != static_cast<ssize_t>(content.size()))
    throw std::system_error(errno, std::generic_category(), "pwrite");
  return fd;
}

std::string readAll(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return "";
  std::string text(static_cast<size_t>(st.st_size), '\0');
  ssize_t got = pread(fd, text.data(), text.size(), 0);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);
  return text;
}

Result captured(const Plan& plan, const std::string& stdin_text, int timeout_seconds,
                const std::function<void()>& body) {
  ScopedFd in = memoryFile(stdin_text);
  ScopedFd out = memoryFile("");
  ScopedFd err = memoryFile("");
  pid_t pid = spawn(plan, {in.get(), out.get(), err.get()}, body);
  bool timed_out = false;
  Result result;
  result.status = finish(pid, timeout_seconds, plan.own_group, &timed_out);
  result.out = readAll(out.get());
  result.err = readAll(err.get());
  if (timed_out) result.err += kTimeoutNote;
  return result;
}

// Background children and the plans (work directories) they still use. Those
// still running when the test program ends are killed then, so that a test
// that failed before stopping its daemon leaves nothing behind.
class Background {
 public:
  ~Background() {
    if (getpid() != owner_) return;
    for (const auto& entry : children) killAndReap(entry.first, entry.second->own_group);
  }
  std::map<pid_t, std::unique_ptr<Plan>> children;

 private:
  pid_t owner_ = getpid();
};

std::map<pid_t, std::unique_ptr<Plan>>& background() {
  static Background registry;
  return registry.children;
}

ScopedFd openAppend(const std::string& path) {
  ScopedFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (!fd.valid()) throw std::system_error(errno, std::generic_category(), path);
  return fd;
}

std::string probe() {
  if (geteuid() != 0) return "not running as root (a mount namespace needs CAP_SYS_ADMIN)";
  TempDir dir("p2psim-probe");
  Sandbox box;
  box.binds = {{dir.subdir("lower"), dir.subdir("target")}};
  box.overlays = {{dir.subdir("upper"), dir / "target"}};
  Result result = runFunctionCaptured(
      box, [] { return 0; }, kProbeTimeoutSeconds);
  if (result.status == 0) return "";
  return "sandbox probe failed with status " + std::to_string(result.status) + ": " + result.err;
}

}  // namespace

std::string sandboxUnavailableReason() {
  static const std::string reason = probe();
  return reason;
}

Result run(const Sandbox& box, const std::vector<std::string>& argv, const std::string& stdin_text,
           int timeout_seconds) {
  if (argv.empty()) throw std::invalid_argument("sandbox: empty command");
  auto plan = makePlan(box, argv);
  const Plan& ready = *plan;
  return captured(ready, stdin_text, timeout_seconds, [&ready] { childExec(ready); });
}

pid_t start(const Sandbox& box, const std::vector<std::string>& argv, const std::string& out_path,
            const std::string& err_path) {
  if (argv.empty()) throw std::invalid_argument("sandbox: empty command");
  auto plan = makePlan(box, argv);
  ScopedFd in(open(kRealDevNull, O_RDONLY | O_CLOEXEC));
  ScopedFd out = openAppend(out_path);
  ScopedFd err = openAppend(err_path);
  const Plan& ready = *plan;
  pid_t pid = spawn(ready, {in.get(), out.get(), err.get()}, [&ready] { childExec(ready); });
  background()[pid] = std::move(plan);
  return pid;
}

int stop(pid_t pid) {
  auto found = background().find(pid);
  bool own_group = found == background().end() || found->second->own_group;
  if (own_group) kill(-pid, SIGTERM);
  kill(pid, SIGTERM);
  std::optional<int> status = pollEnd(pid, kStopGraceMs);
  int result = status ? *status : killAndReap(pid, own_group);
  killLeftovers(pid, own_group);
  if (found != background().end()) background().erase(found);
  return result;
}

int waitFor(pid_t pid, int timeout_ms) {
  std::optional<int> status = pollEnd(pid, timeout_ms > 0 ? timeout_ms : 1);
  if (!status) return -1;
  killLeftovers(pid, true);
  background().erase(pid);
  return *status;
}

int runFunction(const Sandbox& box, const std::function<int()>& fn, int timeout_seconds) {
  auto plan = makePlan(box, {});
  pid_t pid = spawn(*plan, {}, [&fn] { childFunction(fn); });
  bool timed_out = false;
  return finish(pid, timeout_seconds, plan->own_group, &timed_out);
}

Result runFunctionCaptured(const Sandbox& box, const std::function<int()>& fn,
                           int timeout_seconds) {
  auto plan = makePlan(box, {});
  return captured(*plan, "", timeout_seconds, [&fn] { childFunction(fn); });
}

int runAttached(const Sandbox& box, const std::vector<std::string>& argv, int timeout_seconds) {
  if (argv.empty()) throw std::invalid_argument("sandbox: empty command");
  auto plan = makePlan(box, argv);
  plan->own_group = false;
  const Plan& ready = *plan;
  pid_t pid = spawn(ready, {}, [&ready] { childExec(ready); });
  bool timed_out = false;
  return finish(pid, timeout_seconds, false, &timed_out);
}

}  // namespace sim
