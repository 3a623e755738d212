#include "tool/collect/meta.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/util/capture.h"
#include "tool/document.h"
#include "tool/report/collect.h"
#include "tool/report/render.h"

namespace {

constexpr const char* kMetaDir = "meta/";
constexpr mode_t kMetaMode = 0644;
constexpr int kLspciTimeoutMs = 60000;
constexpr const char* kCmdline = "/proc/cmdline";
constexpr const char* kHostnameMember = "hostname";
constexpr const char* kSerialNumber = "Device Serial Number ";
constexpr const char* kZeroSerial = "00-00-00-00-00-00-00-00";
constexpr const char* kVpdSerial = "[SN] Serial number: ";
constexpr const char* kNotCollected = "(not collected)";
constexpr const char* kTimeFormat = "%Y-%m-%dT%H:%M:%SZ";
constexpr const char* kSourceDateEpoch = "SOURCE_DATE_EPOCH";

void addMeta(Snapshot& snapshot, const std::string& name, const std::string& text) {
  snapshot.addFile(kMetaDir + name, text, kMetaMode);
}

// The line with what follows `marker` replaced.
std::string blanked(const std::string& line, const char* marker, const char* value) {
  const size_t at = line.find(marker);
  return at == std::string::npos ? line : line.substr(0, at + strlen(marker)) + value;
}

// What an lspci run printed; why it failed is noted.
std::string lspci(Snapshot& snapshot, const std::vector<std::string>& argv) {
  const Captured run = runCaptured(argv, kLspciTimeoutMs);
  std::string command;
  for (const std::string& arg : argv) command += (command.empty() ? "" : " ") + arg;
  if (run.timed_out)
    snapshot.notCollected(command, "killed after " + std::to_string(kLspciTimeoutMs / 1000) + " s");
  else if (run.cut)
    snapshot.notCollected(command, "output cut");
  else if (run.status != 0)
    snapshot.notCollected(command, "exit status " + std::to_string(run.status) + ": " +
                                       run.err.substr(0, run.err.find('\n')));
  return run.out;
}

std::string kernelRelease() {
  utsname name{};
  return ::uname(&name) == 0 ? std::string(name.release) + "\n" : "";
}

}  // namespace

std::string withoutSerialNumbers(const std::string& text) {
  std::istringstream lines(text);
  std::string out;
  for (std::string line; std::getline(lines, line);)
    out += blanked(blanked(line, kSerialNumber, kZeroSerial), kVpdSerial, kNotCollected) + "\n";
  return out;
}

std::optional<time_t> sourceDateEpoch(const char* source_date_epoch) {
  if (!source_date_epoch || !*source_date_epoch) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long long seconds = strtoll(source_date_epoch, &end, 10);
  if (errno != 0 || *end != '\0' || seconds < 0) return std::nullopt;
  return static_cast<time_t>(seconds);
}

std::string collectionTime(const char* source_date_epoch, time_t now) {
  now = sourceDateEpoch(source_date_epoch).value_or(now);
  tm utc{};
  char text[32] = {};
  if (gmtime_r(&now, &utc)) strftime(text, sizeof text, kTimeFormat, &utc);
  return std::string(text) + "\n";
}

std::string statusDocument(bool keep_hostname) {
  Status status = collectStatus();
  if (const auto fixed = sourceDateEpoch(getenv(kSourceDateEpoch))) status.time = {*fixed, 0};
  const std::string text = statusJson(status);
  if (keep_hostname) return text;
  nlohmann::json document = nlohmann::json::parse(text);
  document.erase(kHostnameMember);
  return documentText(document);
}

void gatherMeta(Snapshot& snapshot, const std::vector<std::string>& functions, bool keep_hostname) {
  addMeta(snapshot, "status.json", statusDocument(keep_hostname));
  addMeta(snapshot, "lspci-tvnn.txt", lspci(snapshot, {"lspci", "-tvnn"}));
  std::string details;  // one run per function: no other device is read
  for (const std::string& bdf : functions)
    details += lspci(snapshot, {"lspci", "-D", "-vvv", "-s", bdf});
  addMeta(snapshot, "lspci-vvv.txt", withoutSerialNumbers(details));
  const FileRead cmdline = readSmallFile(kCmdline, kSmallFileLimit);
  if (cmdline.read)
    addMeta(snapshot, "cmdline", cmdline.bytes);
  else
    snapshot.notCollected(kCmdline, cmdline.reason);
  addMeta(snapshot, "kernel-release", kernelRelease());
  addMeta(snapshot, "version", "p2ptool " P2P_VERSION "\n");
  addMeta(snapshot, "collected", collectionTime(getenv(kSourceDateEpoch), time(nullptr)));
  if (keep_hostname) addMeta(snapshot, kHostnameMember, hostname() + "\n");
}

void addNotCollected(Snapshot& snapshot) {
  std::string text;
  for (const std::string& note : snapshot.notes()) text += note + "\n";
  addMeta(snapshot, "not-collected", text);
}
