// A stand-in for a command, put first on PATH (Sandbox::path_prepend =
// {dir()}) to record how programs in the sandbox call it and to choose how it
// answers. Every call appends its arguments (separated by spaces) as one line
// to a log. Then, when an answer was set for the call's key argument (the
// argument at a fixed position, such as the BDF after "setpci -s" or the step
// after "dkms"), it gives that answer; otherwise it runs the real command with
// the same arguments when there is one, else it succeeds.
// The directories and the log are readable and writable for every user, so a
// sandbox that drops root can use them too.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/sim/tempdir.h"

namespace sim {

constexpr char kRealSetpci[] = "/usr/bin/setpci";

class FakeCommand {
 public:
  // key_argument: position of the key argument, 1 for the first.
  // real: the command to run when no answer was set ("": succeed instead).
  explicit FakeCommand(const std::string& name, int key_argument = 1, const std::string& real = "");

  const std::string& dir() const { return bin_; }  // holds only the command
  const std::string& logPath() const { return log_; }
  std::string log() const;                 // the whole log
  std::vector<std::string> calls() const;  // logged lines, oldest first
  void clear();                            // empties the log

  // Calls with this key print message to standard error and exit with status.
  void fail(const std::string& key, int status, const std::string& message = "") const;
  // Calls with this key, a BDF, remove the function's directory (the target of
  // /sys/bus/pci/devices/<key>) and succeed: a device that goes away while a
  // program walks the tree.
  void vanish(const std::string& key) const;
  // Calls with this key run the real command (nothing without one), then, if
  // that succeeded, the real command once more with `arguments` (words
  // separated by spaces); the status is that of the last call.
  void thenRun(const std::string& key, const std::string& arguments) const;

 private:
  TempDir temp_;
  std::string bin_;
  std::string log_;
};

// A setpci that answers per BDF (the argument after -s) and succeeds otherwise.
FakeCommand fakeSetpci();
// A setpci that only records its calls and lets the real one do the work.
FakeCommand loggingSetpci();
// Makes `setpci` (a loggingSetpci) set `bits` of port's ACS Control again
// after every call for that port: a port whose bits a write cannot clear.
// Throws std::invalid_argument when port is no BDF.
void keepAcsBits(const FakeCommand& setpci, const std::string& port, uint16_t bits);

}  // namespace sim
