// A stand-in `setpci` that records how it was called: it appends its
// arguments (one call a line, separated by spaces) to a log file and then
// runs the real setpci with them, so the real tool still does the work.
// Put dir() first on PATH (Sandbox::path_prepend) to record every setpci that
// a program in the sandbox runs.
#pragma once

#include <string>
#include <vector>

#include "tests/sim/tempdir.h"

namespace sim {

constexpr char kRealSetpci[] = "/usr/bin/setpci";

class LoggingSetpci {
 public:
  // The directory and log are readable and writable for every user, so that
  // a sandbox that drops root can use them too.
  explicit LoggingSetpci(const std::string& real_setpci = kRealSetpci);

  const std::string& dir() const { return temp_.path(); }
  std::string logPath() const;
  std::vector<std::string> calls() const;  // logged lines, oldest first
  void clear();                            // empties the log

 private:
  TempDir temp_;
};

}  // namespace sim
