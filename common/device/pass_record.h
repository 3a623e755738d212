// The record of p2pwatch's last pass, which p2ptool --status reads: per GPU
// bound to the driver, when the pass ran, which peer file it used, how many
// lines it sent and whether the GPU was programmed, or why not.
//
// Text, format version 1, replaced as a whole after every pass:
//   p2pwatch status 1
//   pass <seconds>.<nanoseconds, 9 digits>          (CLOCK_REALTIME at the pass's start)
//   gpu TAB <BDF> TAB <time as above> TAB <programmed|failed> TAB <lines sent>
//       TAB <peer file path, or - for none> TAB <reason; empty when programmed>
// one gpu line per GPU, ascending BDF. A reason is one line of plain text.
#pragma once

#include <time.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

inline constexpr const char* kPassRecordFile = "/run/p2pwatch/status";

struct GpuPassRecord {
  std::string bdf;  // guest PCI address
  timespec time{};  // the pass's start
  bool programmed = false;
  unsigned lines = 0;     // driver lines sent
  std::string peer_file;  // path of the peer file used; empty for none ("-" in the text)
  std::string reason;     // why the GPU was not programmed
};

using PassRecord = std::pair<timespec, std::vector<GpuPassRecord>>;

// A time as the record gives it: "<seconds>.<nanoseconds, 9 digits>".
std::string passTimeText(const timespec& time);

// The record's text. Escape codes, TABs and line ends in a reason become
// nothing, blanks and blanks.
std::string formatPassRecord(const timespec& pass, const std::vector<GpuPassRecord>& gpus);

// The record a text holds; nothing when it is not a well-formed version 1
// record. Then `problem`, when given, says why in words of this program, never
// with bytes of the text but the digits of a version: "empty", "not a record
// of p2pwatch", "unknown format version 7", "truncated", "line 3 is malformed".
std::optional<PassRecord> parsePassRecord(const std::string& text, std::string* problem = nullptr);

// Replaces `path` atomically (a temporary file in its directory, renamed over
// it) with mode 0644 whatever the umask, making the directory (0755) when it
// is missing. False, with errno set, when that fails; then the old file stays.
bool writePassRecord(const timespec& pass, const std::vector<GpuPassRecord>& gpus,
                     const std::string& path = kPassRecordFile);

// What readPassRecord found.
struct PassRecordRead {
  std::optional<PassRecord> record;  // the record, when it is usable
  int error = 0;                     // errno of a failed open (ENOENT: missing) or read
  std::string problem;  // why a record that is there and was read cannot be used: "not a
                        // regular file", "larger than 1048576 bytes", or as parsePassRecord
};

// The record in `path`: opened without blocking and read, no further than the
// largest record, only when it is a regular file.
PassRecordRead readPassRecord(const std::string& path = kPassRecordFile);
