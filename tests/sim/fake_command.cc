#include "tests/sim/fake_command.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "tests/sim/fabric.h"

namespace sim {
namespace {

constexpr char kBinDir[] = "bin";
constexpr char kAnswersDir[] = "answers";
constexpr char kVanish[] = "vanish";
constexpr char kThen[] = "then";
constexpr char kNoRealCommand[] = "true";
constexpr int kSetpciSlotArgument = 2;  // setpci -s <BDF> ...
constexpr mode_t kOpenDirMode = 0755;
constexpr mode_t kScriptMode = 0755;
constexpr mode_t kLogMode = 0666;

// An answer file holds the exit status (or "vanish") on its first line and
// what to print on standard error below it; or "then" and the arguments of a
// second call of the real command.
constexpr char kScript[] = R"sh(#!/bin/sh
printf '%s\n' "$*" >> '@LOG@'
key="${@KEY@}"
answer='@ANSWERS@/'"$key"
if [ -n "$key" ] && [ -f "$answer" ]; then
  read -r status < "$answer"
  if [ "$status" = @VANISH@ ]; then
    rm -rf "$(readlink -f "/sys/bus/pci/devices/$key")"
    exit 0
  fi
  if [ "$status" = @THEN@ ]; then
    '@REAL@' "$@" || exit
    exec '@REAL@' $(tail -n +2 "$answer")
  fi
  tail -n +2 "$answer" >&2
  exit "$status"
fi
)sh";

std::string replaced(std::string text, const std::string& placeholder, const std::string& value) {
  for (size_t at; (at = text.find(placeholder)) != std::string::npos;)
    text.replace(at, placeholder.size(), value);
  return text;
}

std::string script(int key_argument, const std::string& log, const std::string& answers,
                   const std::string& real) {
  std::string text = replaced(kScript, "@LOG@", log);
  text = replaced(text, "@KEY@", std::to_string(key_argument));
  text = replaced(text, "@ANSWERS@", answers);
  text = replaced(text, "@VANISH@", kVanish);
  text = replaced(text, "@THEN@", kThen);
  text = replaced(text, "@REAL@", real.empty() ? kNoRealCommand : real);
  return text + (real.empty() ? std::string("exit 0\n") : "exec '" + real + "' \"$@\"\n");
}

}  // namespace

FakeCommand::FakeCommand(const std::string& name, int key_argument, const std::string& real)
    : temp_("p2psim-" + name), bin_(temp_.subdir(kBinDir)), log_(temp_ / (name + ".log")) {
  const std::string answers = temp_.subdir(kAnswersDir);
  for (const std::string& dir : {temp_.path(), bin_, answers}) chmod(dir.c_str(), kOpenDirMode);
  temp_.write(name + ".log", "");
  chmod(log_.c_str(), kLogMode);
  const std::string command =
      temp_.write(std::string(kBinDir) + "/" + name, script(key_argument, log_, answers, real));
  chmod(command.c_str(), kScriptMode);
}

std::string FakeCommand::log() const { return readFile(log_); }

std::vector<std::string> FakeCommand::calls() const {
  std::ifstream in(log_);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void FakeCommand::clear() { std::ofstream(log_, std::ios::trunc); }

void FakeCommand::fail(const std::string& key, int status, const std::string& message) const {
  temp_.write(std::string(kAnswersDir) + "/" + key, std::to_string(status) + "\n" + message);
}

void FakeCommand::vanish(const std::string& key) const {
  temp_.write(std::string(kAnswersDir) + "/" + key, std::string(kVanish) + "\n");
}

void FakeCommand::thenRun(const std::string& key, const std::string& arguments) const {
  temp_.write(std::string(kAnswersDir) + "/" + key, std::string(kThen) + "\n" + arguments + "\n");
}

FakeCommand fakeSetpci() { return FakeCommand("setpci", kSetpciSlotArgument); }

FakeCommand loggingSetpci() { return FakeCommand("setpci", kSetpciSlotArgument, kRealSetpci); }

void keepAcsBits(const FakeCommand& setpci, const std::string& port, uint16_t bits) {
  packBdf(port);  // throws for a name that is no BDF
  char write[32];
  snprintf(write, sizeof write, "ECAP_ACS+6.w=%04x:%04x", unsigned{bits}, unsigned{bits});
  setpci.thenRun(port, "-s " + port + " " + write);
}

}  // namespace sim
