#include "common/device/driver_package.h"

#include <sys/utsname.h>
#include <sys/wait.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "common/device/enumeration.h"
#include "common/device/tamberon_driver.h"
#include "common/log/qzlogger.h"
#include "common/util/paths.h"
#include "common/util/shell.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kDkmsTree = "/var/lib/dkms/zorva/";
constexpr const char* kKernelSources = "/usr/src";
constexpr const char* kRemovalRecord = "/var/log/dkms.log";
constexpr const char* kModulesDir = "/lib/modules/";
constexpr const char* kModuleFile = "/kernel/drivers/misc/tamberon.ko";
constexpr const char* kMovedAsideSuffix = ".bk";

// Command texts, completed by concatenation.
constexpr const char* kModuleTag = "zorva/";
constexpr const char* kEcho = "echo ";
constexpr const char* kRecordRedirect = " > ";
constexpr const char* kRecordEnd = " ";
constexpr const char* kDkms = "dkms ";
constexpr const char* kDkmsRemove = "remove";
constexpr const char* kDkmsAllKernels = " --all";
constexpr std::array<const char*, 3> kDkmsReinstallSteps = {"add", "build", "install"};
constexpr const char* kQuiet = " > /dev/null 2>&1";
constexpr const char* kRecordGrep = "grep -o 'zorva/[^[:space:]]*' ";
constexpr const char* kRemoveFile = "rm -f ";
constexpr const char* kMove = "mv ";
constexpr const char* kMoveSeparator = "  ";
// Appended to a captured command so that its output ends with its exit status.
constexpr const char* kStatusSuffix = " 2>&1; echo $?";
constexpr const char* kBlacklistCommand =
    "sed -i '/tamberon/d' /etc/modprobe.d/blacklist.conf 2> /dev/null";
constexpr const char* kEnableCommandFormat = "setpci -s %s COMMAND=0x06 2>/dev/null";
constexpr int kEnableCommandSize = 64;
constexpr int kEnableRuns = 2;

// "zorva/" in the record and "zorva-" in the names of source directories.
constexpr size_t kModuleTagLength = 6;
// "/sys/devices/pci" + "dddd:bb" + "/": the devices directory and the host bridge.
constexpr size_t kRootPartLength = 24;
constexpr int kSignalStatusBase = 128;

constexpr const char* kReinstallStart = "Start reinstall zorva from dkms tree. \n";
constexpr const char* kReinstallDone = "Success to reinstall zorva from dkms tree. \n";
constexpr const char* kNoEntry =
    "Failed to reinstall zorva: no zorva/ entry in /var/log/dkms.log. \n";
constexpr const char* kNoSourceFormat =
    "Failed to reinstall zorva: no source of version \"%s\" in /usr/src. \n";
constexpr const char* kCommandFailedFormat = "Failed: \"%s\" exited with status %d. \n";
constexpr const char* kRecordFailedFormat =
    "Failed to record zorva/%s in /var/log/dkms.log: not removed from dkms. \n";
constexpr const char* kModuleRemovedFormat =
    "Success to remove file of tamberon.ko (/lib/modules/%s/kernel/drivers/misc/tamberon.ko). \n\n";
constexpr const char* kModuleRestored = "Success to restore file of tamberon.ko. \n";
constexpr const char* kMoveFailedFormat = "Failed to move %s: mv exited with status %d. %s\n";
constexpr const char* kUnameFailedFormat = "Failed to read the kernel release: %s. \n";
constexpr const char* kEnableTooLongFormat =
    "Error: command line for %s is longer than %d characters, not run.\n";

// Exit status of a command run with system(): -1 when it could not be run,
// 128 + signal number when the shell was killed.
int runCommand(const std::string& command) {
  int status = system(command.c_str());
  if (status == -1) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return kSignalStatusBase + WTERMSIG(status);
  return -1;
}

// Runs a command and logs it at Fatal when it fails; true when it exited with status 0.
bool runChecked(const std::string& command) {
  int status = runCommand(command);
  if (status != 0) qzlogger::logger(Fatal, kCommandFailedFormat, command.c_str(), status);
  return status == 0;
}

struct CapturedRun {
  int status = -1;     // -1 when the shell could not be started
  std::string output;  // standard output and error, without the final line end
};

// Runs a command through cmdResult, its exit status taken from the line the
// status suffix adds to its output.
CapturedRun runCaptured(const std::string& command) {
  std::string out;
  cmdResult(command + kStatusSuffix, out);
  CapturedRun run;
  if (out.empty() || out.back() != '\n') return run;
  out.pop_back();
  const size_t last_line = out.rfind('\n');
  const std::string status = last_line == std::string::npos ? out : out.substr(last_line + 1);
  run.output = last_line == std::string::npos ? "" : out.substr(0, last_line);
  char* end = nullptr;
  long value = strtol(status.c_str(), &end, 10);
  if (!status.empty() && *end == '\0') run.status = static_cast<int>(value);
  return run;
}

bool isVersionName(const std::string& name) {
  for (char c : name)
    if (!((c >= '0' && c <= '9') || c == '.')) return false;
  return true;
}

bool isExistingDirectory(const fs::path& path) {
  return fs::exists(path) && fs::is_directory(path);
}

std::string tagged(const std::string& version) { return kModuleTag + version; }

// The version named in the removal record; empty without a "zorva/" entry.
std::string recordedVersion() {
  std::string out;
  cmdResult(std::string(kRecordGrep) + kRemovalRecord, out);
  if (out.size() <= kModuleTagLength) return "";
  return out.substr(kModuleTagLength, out.size() - kModuleTagLength - 1);
}

// The version of the first source directory whose name holds `wanted`.
std::string sourceVersion(const std::string& wanted) {
  if (!isExistingDirectory(kKernelSources)) return "";
  for (const fs::directory_entry& entry : fs::directory_iterator(kKernelSources)) {
    if (!entry.is_directory()) continue;
    const std::string name = entry.path().filename().string();
    if (name.find(wanted) == std::string::npos) continue;
    return name.size() < kModuleTagLength ? "" : name.substr(kModuleTagLength);
  }
  return "";
}

// Adds, builds and installs a version with dkms; true when every step succeeded.
bool reinstall(const std::string& version) {
  bool all_done = true;
  for (const char* step : kDkmsReinstallSteps) {
    std::string command = std::string(kDkms) + step + " " + tagged(version) + kQuiet;
    all_done = runChecked(command) && all_done;
  }
  return all_done;
}

std::optional<std::string> kernelRelease() {
  struct utsname names;
  if (uname(&names) != 0) {
    qzlogger::logger(Fatal, kUnameFailedFormat, strerror(errno));
    return std::nullopt;
  }
  return std::string(names.release);
}

std::string modulePath(const std::string& release) { return kModulesDir + release + kModuleFile; }

// Moves `from` to `to` with mv when `from` exists; true when it was moved.
bool moveModuleFile(const std::string& from, const std::string& to) {
  if (!fs::exists(from)) return false;
  CapturedRun mv = runCaptured(kMove + from + kMoveSeparator + to);
  if (mv.status == 0) return true;
  qzlogger::logger(Fatal, kMoveFailedFormat, from.c_str(), mv.status, mv.output.c_str());
  return false;
}

}  // namespace

int getDriver() { return is_dir_exist(kDriverDir) ? 1 : 0; }

std::string getDkmsToZorvaVersion() {
  if (!isExistingDirectory(kDkmsTree)) return "";
  for (const fs::directory_entry& entry : fs::directory_iterator(kDkmsTree)) {
    if (!entry.is_directory()) continue;
    const std::string name = entry.path().filename().string();
    if (isVersionName(name)) return name;
  }
  return "";
}

void removeDkmsToZorva() {
  const std::string version = getDkmsToZorvaVersion();
  if (version.empty()) return;
  // Without the record the version could not be reinstalled: keep the package then.
  if (!runChecked(kEcho + tagged(version) + kRecordRedirect + kRemovalRecord + kRecordEnd)) {
    qzlogger::logger(Fatal, kRecordFailedFormat, version.c_str());
    return;
  }
  runChecked(kDkms + std::string(kDkmsRemove) + " " + tagged(version) + kDkmsAllKernels + kQuiet);
}

void installDkmsToZorva() {
  if (!fs::exists(kRemovalRecord)) return;
  qzlogger::logger(Info, "%s", kReinstallStart);
  const std::string wanted = recordedVersion();
  const std::string found = sourceVersion(wanted);
  bool reinstalled = false;
  if (wanted.empty())
    qzlogger::logger(Fatal, "%s", kNoEntry);
  else if (wanted != found)
    qzlogger::logger(Fatal, kNoSourceFormat, wanted.c_str());
  else
    reinstalled = reinstall(wanted);
  runChecked(kRemoveFile + std::string(kRemovalRecord) + kQuiet);
  if (reinstalled) qzlogger::logger(Info, "%s", kReinstallDone);
}

void removeTamberonkoFile() {
  const std::optional<std::string> release = kernelRelease();
  if (!release) return;
  const std::string module = modulePath(*release);
  if (moveModuleFile(module, module + kMovedAsideSuffix))
    qzlogger::logger(Info, kModuleRemovedFormat, release->c_str());
}

void restoreTamberonkoFile() {
  const std::optional<std::string> release = kernelRelease();
  if (!release) return;
  const std::string module = modulePath(*release);
  if (moveModuleFile(module + kMovedAsideSuffix, module))
    qzlogger::logger(Info, "%s", kModuleRestored);
}

int removeTamberonFromBlacklist() {
  runCommand(kBlacklistCommand);
  return 0;
}

void enablePciDevice(std::string bdf) {
  char command[kEnableCommandSize];
  int needed = snprintf(command, sizeof command, kEnableCommandFormat, bdf.c_str());
  if (needed < 0 || needed >= kEnableCommandSize) {
    qzlogger::logger(Fatal, kEnableTooLongFormat, bdf.c_str(), kEnableCommandSize - 1);
    return;
  }
  char output[kEnableCommandSize];
  for (int run = 0; run < kEnableRuns; ++run) cmdResult(command, output, sizeof output);
}

std::filesystem::path getRealpathByBusId(std::string bdf) {
  return fs::canonical(std::string(kSysPciDevices) + bdf);
}

std::string removeRealpathPrefix(std::filesystem::path path) {
  const std::string text = path.string();
  return text.size() < kRootPartLength ? "" : text.substr(kRootPartLength);
}
