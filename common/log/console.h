// What both programs say to the operator, on standard output or error.
//
// On a terminal, a pipe or a file a message goes out exactly as written,
// colour escape codes included: callers may parse it. When the stream is the
// journal (systemd names it in JOURNAL_STREAM as "device:inode") the escape
// codes are dropped and every line begins with its syslog priority as
// sd-daemon's "<N>" prefix, so that `journalctl -p warning` lists exactly the
// problems. NO_COLOR, set to any value, drops the escape codes too, and so
// does TERM=dumb (a terminal that cannot show them).
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

// Syslog priorities of the messages.
enum class Priority {
  kError = 3,    // something the run could not do
  kWarning = 4,  // a problem it went around: an offline GPU, a stale file, a port left on
  kInfo = 6,     // success and information
};

// How a stream wants its text.
struct StreamStyle {
  bool journal = false;  // "<N>" before every line
  bool color = true;     // escape codes kept
};

// The style of descriptor `fd` given the values of JOURNAL_STREAM, NO_COLOR
// and TERM (null when unset).
StreamStyle streamStyle(int fd, const char* journal_stream, const char* no_color,
                        const char* term = nullptr);

// `text` without its ANSI escape sequences (ESC '[' ... final byte).
std::string withoutEscapes(const std::string& text);

// `text` as it goes to a stream of `style`. `at_line_start` says whether the
// stream stands at the start of a line and is updated, so that a message
// printed in pieces gets one prefix per line.
std::string styledText(const std::string& text, Priority priority, StreamStyle style,
                       bool& at_line_start);

// printf to standard output (report) or to `stream` (reportTo), styled for it.
void report(Priority priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void reportTo(FILE* stream, Priority priority, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void vreportTo(FILE* stream, Priority priority, const char* format, va_list args);

// The same for a text already formatted (a report of many lines).
void reportText(FILE* stream, Priority priority, const std::string& text);

// A message held back instead of printed (HeldMessages).
struct HeldMessage {
  FILE* stream;
  Priority priority;
  std::string text;
};

// While alive, every message of report(), reportTo() and reportText() is held
// here instead of printed, so that a reader can be asked silently. Holders
// nest: the one made last holds. What is not taken is dropped.
class HeldMessages {
 public:
  HeldMessages();
  HeldMessages(const HeldMessages&) = delete;
  HeldMessages& operator=(const HeldMessages&) = delete;
  ~HeldMessages();

  // The messages held so far; holding goes on.
  std::vector<HeldMessage> take();

 private:
  std::vector<HeldMessage> messages_;
  std::vector<HeldMessage>* outer_;
};

// Prints held messages as they would have been printed: each to its own
// stream, or all to `to` when given. While a HeldMessages lives, it holds them
// again.
void replayMessages(const std::vector<HeldMessage>& messages, FILE* to = nullptr);

// The line that follows a failure message in the same run of output: what it
// was about (a file, a GPU, a function) and the errno text, at that priority.
void reportReason(Priority priority, const std::string& subject, int error);
