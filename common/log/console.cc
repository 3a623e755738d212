#include "common/log/console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace {

constexpr char kEscape = '\033';
constexpr const char* kJournalStream = "JOURNAL_STREAM";
constexpr const char* kNoColor = "NO_COLOR";
constexpr const char* kTerm = "TERM";
constexpr const char* kDumbTerminal = "dumb";

// Whether `fd` is the stream JOURNAL_STREAM ("<device>:<inode>", decimal) names.
bool isJournal(int fd, const char* journal_stream) {
  if (!journal_stream) return false;
  uintmax_t device = 0, inode = 0;
  char rest = 0;
  if (sscanf(journal_stream, "%ju:%ju%c", &device, &inode, &rest) != 2) return false;
  struct stat st {};
  return fstat(fd, &st) == 0 && static_cast<uintmax_t>(st.st_dev) == device &&
         static_cast<uintmax_t>(st.st_ino) == inode;
}

// A final byte ends a control sequence; parameter and intermediate bytes do not.
bool endsSequence(char c) { return c >= 0x40 && c <= 0x7e; }

// Where messages go instead of a stream while a HeldMessages is alive.
std::vector<HeldMessage>* holding = nullptr;

// Line state of standard output and error; other streams start every message
// on a line of their own.
bool& lineStart(FILE* stream) {
  static bool out = true, err = true, other = true;
  other = true;
  return stream == stdout ? out : stream == stderr ? err : other;
}

}  // namespace

StreamStyle streamStyle(int fd, const char* journal_stream, const char* no_color,
                        const char* term) {
  StreamStyle style;
  style.journal = isJournal(fd, journal_stream);
  const bool dumb = term != nullptr && strcmp(term, kDumbTerminal) == 0;
  style.color = !style.journal && no_color == nullptr && !dumb;
  return style;
}

std::string withoutEscapes(const std::string& text) {
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != kEscape) {
      plain += text[i];
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '[') {
      i += 2;
      while (i < text.size() && !endsSequence(text[i])) ++i;
    }
  }
  return plain;
}

std::string styledText(const std::string& text, Priority priority, StreamStyle style,
                       bool& at_line_start) {
  const std::string plain = style.color ? text : withoutEscapes(text);
  if (!style.journal) return plain;
  const std::string prefix = "<" + std::to_string(static_cast<int>(priority)) + ">";
  std::string out;
  for (char c : plain) {
    if (at_line_start) out += prefix;
    out += c;
    at_line_start = c == '\n';
  }
  return out;
}

void vreportTo(FILE* stream, Priority priority, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (length < 0) return;
  std::vector<char> text(static_cast<size_t>(length) + 1);
  vsnprintf(text.data(), text.size(), format, args);
  reportText(stream, priority, std::string(text.data(), static_cast<size_t>(length)));
}

void reportText(FILE* stream, Priority priority, const std::string& text) {
  if (holding) return holding->push_back({stream, priority, text});
  const StreamStyle style =
      streamStyle(fileno(stream), getenv(kJournalStream), getenv(kNoColor), getenv(kTerm));
  fputs(styledText(text, priority, style, lineStart(stream)).c_str(), stream);
}

void report(Priority priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vreportTo(stdout, priority, format, args);
  va_end(args);
}

void reportTo(FILE* stream, Priority priority, const char* format, ...) {
  va_list args;
  va_start(args, format);
  vreportTo(stream, priority, format, args);
  va_end(args);
}

HeldMessages::HeldMessages() : outer_(std::exchange(holding, &messages_)) {}

HeldMessages::~HeldMessages() { holding = outer_; }

std::vector<HeldMessage> HeldMessages::take() { return std::exchange(messages_, {}); }

void replayMessages(const std::vector<HeldMessage>& messages, FILE* to) {
  for (const HeldMessage& message : messages)
    reportText(to ? to : message.stream, message.priority, message.text);
}

void reportReason(Priority priority, const std::string& subject, int error) {
  report(priority, "%s: %s\n", subject.c_str(), strerror(error));
}
