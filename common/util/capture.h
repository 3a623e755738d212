// Running a program without a shell and capturing what it prints.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct Captured {
  int status = -1;         // exit status, 128 + signal when it died; -1 when it never started
  bool timed_out = false;  // killed after the time allowed
  bool cut = false;        // it printed more than the limit: the rest was dropped and it was killed
  std::string out;         // standard output
  std::string err;         // standard error; why it could not be started when status is -1
};

// Runs argv[0] (looked up on PATH) with `argv` and standard input from
// /dev/null, without a shell, and waits for it at most `timeout_ms`; it is
// killed after that, or once either stream passes `limit` bytes. An empty
// argv starts nothing. A program that cannot be executed ends with status 127
// and says why on `err`.
Captured runCaptured(const std::vector<std::string>& argv, int timeout_ms,
                     size_t limit = size_t{16} << 20);
