#include "tool/acs.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* kSetpciSelect = "setpci -s ";
// Plain redirections: /bin/sh need not be bash, where "&>" would background
// the command and lose its status.
constexpr const char* kAcsControlClear = " ECAP_ACS+6.w=0 > /dev/null 2>&1";
constexpr const char* kAcsWarning =
    "\033[31mWARNING:\033[0m Failed modified and ACS \033[4m%s\033[0m status is turned on\n";

}  // namespace

std::string acsDisableCommand(const std::string& port) {
  return kSetpciSelect + port + kAcsControlClear;
}

void close_acs_bdf(std::set<std::string> ports) {
  for (const auto& port : ports) {
    fflush(stdout);
    if (system(acsDisableCommand(port).c_str()) != 0) printf(kAcsWarning, port.c_str());
  }
}
