#include "common/device/pass_record.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <filesystem>

#include "common/device/pci_address.h"
#include "common/log/console.h"
#include "common/util/convert.h"
#include "common/util/paths.h"
#include "common/util/replace_file.h"

namespace {

constexpr const char* kHeaderStart = "p2pwatch status ";
constexpr const char* kFormatVersion = "1";
constexpr size_t kMaxVersionDigits = 9;
constexpr const char* kPassTag = "pass ";
constexpr const char* kGpuTag = "gpu";
constexpr const char* kProgrammed = "programmed";
constexpr const char* kFailed = "failed";
constexpr const char* kNoFile = "-";
constexpr const char* kTempName = ".status-XXXXXX";  // no ':' in it
constexpr char kTab = '\t';
constexpr size_t kGpuFields = 7;
constexpr size_t kNanoDigits = 9;
constexpr size_t kMaxSecondDigits = 18;  // every time_t of this era and far beyond
constexpr size_t kMaxLinesDigits = 9;
constexpr mode_t kFileMode = 0644;
constexpr mode_t kDirMode = 0755;
// A record of this size would list tens of thousands of GPUs.
constexpr size_t kMaxRecordBytes = 1 << 20;
constexpr const char* kNotARecord = "not a record of p2pwatch";
constexpr const char* kTruncated = "truncated";

std::string plainLine(const std::string& text) {
  std::string line = withoutEscapes(text);
  for (char& c : line)
    if (static_cast<unsigned char>(c) < ' ' || c == 0x7f) c = ' ';
  return line;
}

std::optional<timespec> parseTime(const std::string& text) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos) return std::nullopt;
  const std::string seconds = text.substr(0, dot), nanos = text.substr(dot + 1);
  if (!allDigits(seconds, kMaxSecondDigits) || !allDigits(nanos, kNanoDigits) ||
      nanos.size() != kNanoDigits)
    return std::nullopt;
  timespec time{};
  time.tv_sec = static_cast<time_t>(std::stoll(seconds));
  time.tv_nsec = std::stol(nanos);
  return time;
}

std::vector<std::string> splitTabs(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == kTab)
      fields.emplace_back();
    else
      fields.back() += c;
  }
  return fields;
}

std::optional<GpuPassRecord> parseGpuLine(const std::string& line) {
  const std::vector<std::string> f = splitTabs(line);
  if (f.size() != kGpuFields || f[0] != kGpuTag || !isPciAddress(f[1])) return std::nullopt;
  const auto time = parseTime(f[2]);
  if (!time || (f[3] != kProgrammed && f[3] != kFailed) || !allDigits(f[4], kMaxLinesDigits) ||
      f[5].empty())
    return std::nullopt;
  GpuPassRecord gpu{f[1],
                    *time,
                    f[3] == kProgrammed,
                    static_cast<unsigned>(std::stoul(f[4])),
                    f[5] == kNoFile ? "" : f[5],
                    f[6]};
  return gpu;
}

// The lines of `text`, each ended by a line feed; nothing when the last is not.
std::optional<std::vector<std::string>> lines(const std::string& text) {
  std::vector<std::string> result;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    result.push_back(text.substr(start, end - start));
  if (start != text.size()) return std::nullopt;
  return result;
}

// Why `line`, the first, does not begin a version 1 record; "" when it does.
// The version is named only when it is a number.
std::string headerProblem(const std::string& line) {
  const std::string start = kHeaderStart;
  if (line.rfind(start, 0) != 0) return kNotARecord;
  const std::string version = line.substr(start.size());
  if (version == kFormatVersion) return "";
  return allDigits(version, kMaxVersionDigits) ? "unknown format version " + version : kNotARecord;
}

// Sets `problem`, when given, and gives no record.
std::optional<PassRecord> refused(std::string* problem, const std::string& why) {
  if (problem) *problem = why;
  return std::nullopt;
}

std::string malformedLine(size_t index) {
  return "line " + std::to_string(index + 1) + " is malformed";
}

}  // namespace

std::string passTimeText(const timespec& time) {
  char text[48];
  snprintf(text, sizeof text, "%" PRIdMAX ".%09ld", static_cast<intmax_t>(time.tv_sec),
           time.tv_nsec);
  return text;
}

std::string formatPassRecord(const timespec& pass, const std::vector<GpuPassRecord>& gpus) {
  std::string text =
      std::string(kHeaderStart) + kFormatVersion + "\n" + kPassTag + passTimeText(pass) + "\n";
  for (const auto& gpu : gpus) {
    text += std::string(kGpuTag) + kTab + gpu.bdf + kTab + passTimeText(gpu.time) + kTab +
            (gpu.programmed ? kProgrammed : kFailed) + kTab + std::to_string(gpu.lines) + kTab +
            (gpu.peer_file.empty() ? kNoFile : plainLine(gpu.peer_file)) + kTab +
            plainLine(gpu.reason) + "\n";
  }
  return text;
}

std::optional<PassRecord> parsePassRecord(const std::string& text, std::string* problem) {
  if (problem) problem->clear();
  if (text.empty()) return refused(problem, "empty");
  const std::string header = headerProblem(text.substr(0, text.find('\n')));
  if (!header.empty()) return refused(problem, header);
  const auto all = lines(text);
  if (!all || all->size() < 2) return refused(problem, kTruncated);
  const std::string& pass_line = (*all)[1];
  const auto pass = pass_line.rfind(kPassTag, 0) == 0
                        ? parseTime(pass_line.substr(std::string(kPassTag).size()))
                        : std::nullopt;
  if (!pass) return refused(problem, malformedLine(1));
  PassRecord record{*pass, {}};
  for (size_t i = 2; i < all->size(); ++i) {
    auto gpu = parseGpuLine((*all)[i]);
    if (!gpu) return refused(problem, malformedLine(i));
    record.second.push_back(std::move(*gpu));
  }
  return record;
}

bool writePassRecord(const timespec& pass, const std::vector<GpuPassRecord>& gpus,
                     const std::string& path) {
  if (!ensureDirectory(std::filesystem::path(path).parent_path().string(), kDirMode)) return false;
  const std::string text = formatPassRecord(pass, gpus);
  return replaceFileBytes(path, text.data(), text.size(), kFileMode, {kTempName});
}

PassRecordRead readPassRecord(const std::string& path) {
  PassRecordRead read;
  const RegularFile file = openRegularFile(path);
  read.error = file.error;
  if (!file.fd.valid()) {
    if (!file.error) read.problem = openFailure(file);
    return read;
  }
  const BoundedRead text = readBounded(file.fd.get(), kMaxRecordBytes);
  read.error = text.error;
  if (text.error) return read;
  if (text.longer)
    read.problem = "larger than " + std::to_string(kMaxRecordBytes) + " bytes";
  else
    read.record = parsePassRecord(text.bytes, &read.problem);
  return read;
}
