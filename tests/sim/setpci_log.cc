#include "tests/sim/setpci_log.h"

#include <sys/stat.h>

#include <fstream>

namespace sim {
namespace {

constexpr char kScriptName[] = "setpci";
constexpr char kLogName[] = "setpci.log";
constexpr mode_t kOpenDirMode = 0755;
constexpr mode_t kScriptMode = 0755;
constexpr mode_t kLogMode = 0666;

std::string script(const std::string& log, const std::string& real) {
  return "#!/bin/sh\n"
         "printf '%s\\n' \"$*\" >> '" +
         log +
         "'\n"
         "exec '" +
         real + "' \"$@\"\n";
}

}  // namespace

LoggingSetpci::LoggingSetpci(const std::string& real_setpci) : temp_("p2psim-setpci") {
  chmod(temp_.path().c_str(), kOpenDirMode);
  std::string log = temp_.write(kLogName, "");
  chmod(log.c_str(), kLogMode);
  std::string wrapper = temp_.write(kScriptName, script(log, real_setpci));
  chmod(wrapper.c_str(), kScriptMode);
}

std::string LoggingSetpci::logPath() const { return temp_ / kLogName; }

std::vector<std::string> LoggingSetpci::calls() const {
  std::ifstream in(logPath());
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void LoggingSetpci::clear() { std::ofstream(logPath(), std::ios::trunc); }

}  // namespace sim
