#include "common/log/qzlogger.h"

#include <libgen.h>
#include <sys/time.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>

#include "common/log/console.h"

namespace fs = std::filesystem;

const char* qzlogger::log_prefix[7] = {"[    Debug]  ", "[     View]  ", "[     Info]  ",
                                       "[   record]  ", "[  Warning]  ", "[    Error]  ",
                                       "[    FATAL]  "};
bool qzlogger::silent_ = false;
FILE* qzlogger::fp_ = nullptr;
std::mutex qzlogger::mtx;

namespace {

constexpr const char* kLogDir = "/var/log/qzRaVezu/";
constexpr const char* kMainLogFile = "/var/log/qzRaVezu/qzra-vezu.log";
constexpr const char* kRotatedPrefix = "qzra-vezu-";
constexpr const char* kRotatedSuffix = ".log";
// Time stamp of a rotated file name; '0' stands for any decimal digit in the pattern.
constexpr const char* kRotatedStampFormat = "%Y-%m-%d-%H:%M:%S";
constexpr const char* kRotatedStampPattern = "0000-00-00-00:00:00";
constexpr const char* kHeaderTimeFormat = "%Y-%m-%d %H:%M:%S";
constexpr const char* kOpenMode = "a+";
constexpr const char* kRecordFormat = "%s%s";
constexpr const char* kTimeHeaderFormat = "\n\n-------- Current time is: %s --------\n\n";
constexpr const char* kDayHeaderFormat = "Current day is: \n_day_%d\n\n";
constexpr const char* kTimeLineFormat = "%s.%03d \n";
constexpr const char* kClosingLine = "Qzra-vezu is exit ...\n\n";
constexpr const char* kInitFailed = "Failed to init qzlogger.\n\n";
constexpr const char* kDayMarker = "_day_";
// A log file larger than this is continued in a new, time-stamped file.
constexpr long kMaxLogSize = 20480;
// init looks for the directory of a log file within its first 255 characters.
constexpr size_t kPathBufferSize = 256;
// clearLogFile reads the file in pieces of at most 255 characters.
constexpr int kLinePieceSize = 256;
constexpr size_t kTimeTextSize = 64;

bool isLevel(int level) { return level >= Debug && level <= Fatal; }

// Where a record of this level shows on the console, if anywhere.
FILE* consoleFor(LogLevel level, bool silenced) {
  if (level == View) return silenced ? nullptr : stdout;
  if (level == Fatal) return stderr;
  if (level == Record) return stdout;
  return nullptr;
}

struct tm localNow(time_t now) {
  struct tm local;
  localtime_r(&now, &local);
  return local;
}

std::string formatTime(const struct tm& local, const char* format) {
  char text[kTimeTextSize];
  size_t length = strftime(text, sizeof text, format, &local);
  return std::string(text, length);
}

bool isRotatedName(const std::string& name) {
  const std::string prefix = kRotatedPrefix, suffix = kRotatedSuffix,
                    pattern = kRotatedStampPattern;
  if (name.size() != prefix.size() + pattern.size() + suffix.size()) return false;
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = name[prefix.size() + i];
    bool ok = pattern[i] == '0' ? (c >= '0' && c <= '9') : c == pattern[i];
    if (!ok) return false;
  }
  return true;
}

// The log file to continue: the rotated file with the latest time stamp in its
// name, else the main log file. The fixed-width stamp sorts like the time.
std::string newestLogFile() {
  std::string newest_name;
  std::error_code ec;
  for (fs::directory_iterator it(kLogDir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code type_ec;
    std::string name = it->path().filename().string();
    if (!it->is_regular_file(type_ec) || !isRotatedName(name)) continue;
    if (name > newest_name) newest_name = name;
  }
  return newest_name.empty() ? kMainLogFile : std::string(kLogDir) + newest_name;
}

// The day stored in the first line that starts with the day marker; 0 without one.
int storedDay(FILE* fp) {
  const size_t marker_length = strlen(kDayMarker);
  char piece[kLinePieceSize];
  bool at_line_start = true;
  while (fgets(piece, sizeof piece, fp)) {
    if (at_line_start && strncmp(piece, kDayMarker, marker_length) == 0)
      return atoi(piece + marker_length);
    size_t length = strlen(piece);
    at_line_start = length > 0 && piece[length - 1] == '\n';
  }
  return 0;
}

void removeLogDirectoryEntries() {
  std::error_code ec;
  for (fs::directory_iterator it(kLogDir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code remove_ec;
    fs::remove_all(it->path(), remove_ec);
  }
}

}  // namespace

void qzlogger::logger(LogLevel level, const char* format, ...) {
  if (!isLevel(level)) return;
  std::lock_guard<std::mutex> lock(mtx);
  va_list args;
  va_start(args, format);
  if (FILE* console = consoleFor(level, silent_)) {
    va_list console_args;
    va_copy(console_args, args);
    vreportTo(console, level == Fatal ? Priority::kError : Priority::kInfo, format, console_args);
    va_end(console_args);
  }
  char* message = nullptr;
  if (fp_ && vasprintf(&message, format, args) >= 0) {
    fprintf(fp_, kRecordFormat, log_prefix[level], message);
    fflush(fp_);
    free(message);
  }
  va_end(args);
}

void qzlogger::silent() { silent_ = true; }

void qzlogger::InitializeLogger() {
  std::error_code ec;
  if (!fs::exists(kLogDir, ec)) fs::create_directories(kLogDir, ec);
  init(newestLogFile().c_str());
  clearLogFile();
  CurrentTime();
}

void qzlogger::init(const char* path) {
  char buffer[kPathBufferSize];
  snprintf(buffer, sizeof buffer, "%s", path);
  const char* dir = dirname(buffer);
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) fs::create_directories(dir, ec);
  if (fp_) fclose(fp_);  // a second init must not leak the first file
  fp_ = fopen(path, kOpenMode);
  if (!fp_) {
    fputs(kInitFailed, stderr);
    exit(1);
  }
}

void qzlogger::shutdown() {
  if (!fp_) return;
  fputs(kClosingLine, fp_);
  fclose(fp_);
  fp_ = nullptr;
}

void qzlogger::rotateLogFile() {
  shutdown();
  std::string stamp = formatTime(localNow(time(nullptr)), kRotatedStampFormat);
  init((std::string(kLogDir) + kRotatedPrefix + stamp + kRotatedSuffix).c_str());
}

void qzlogger::clearLogFile() {
  if (!fp_) return;
  int day = storedDay(fp_);
  if (day != 0 && day != localNow(time(nullptr)).tm_mday) {
    removeLogDirectoryEntries();
    shutdown();
    init(kMainLogFile);
  }
  long size = -1;
  if (fseek(fp_, 0, SEEK_END) != 0 || (size = ftell(fp_)) < 0) {
    fclose(fp_);
    fp_ = nullptr;
    return;
  }
  if (size > kMaxLogSize) rotateLogFile();
}

void qzlogger::CurrentTime() {
  if (!fp_) return;
  struct tm local = localNow(time(nullptr));
  fprintf(fp_, kTimeHeaderFormat, formatTime(local, kHeaderTimeFormat).c_str());
  fprintf(fp_, kDayHeaderFormat, local.tm_mday);
  fflush(fp_);
}

int qzlogger::GetTimeMs() {
  if (!fp_) return 0;
  struct timeval now;
  gettimeofday(&now, nullptr);
  std::string text = formatTime(localNow(now.tv_sec), kHeaderTimeFormat);
  int written = fprintf(fp_, kTimeLineFormat, text.c_str(), static_cast<int>(now.tv_usec / 1000));
  fflush(fp_);
  return written;
}
