#include "tool/acs.h"

#include <cstdio>
#include <cstdlib>

#include "common/device/enumeration.h"
#include "common/device/pci_address.h"
#include "common/device/pci_config.h"
#include "common/log/console.h"
#include "tool/undone.h"

namespace {

constexpr const char* kSetpciSelect = "setpci -s ";
// Clears the redirect bits only (setpci's value:mask write; kAcsRedirectMask).
// Plain redirections: /bin/sh need not be bash, where "&>" would background
// the command and lose its status.
constexpr const char* kAcsRedirectClear = " ECAP_ACS+6.w=0000:%04x > /dev/null 2>&1";
constexpr const char* kAcsWarning =
    "\033[31mWARNING:\033[0m Failed modified and ACS \033[4m%s\033[0m status is turned on\n";
constexpr const char* kNotAnAddress =
    "\033[31mError:\033[0m Port name \"%s\" is no PCI address; its ACS is left as it is\n";

// setpci exits 0 even when it selects no device, and some ports keep bits a
// write cannot clear: only the register read back tells.
bool redirectionIsOff(const std::string& port) {
  const auto control = readAcsControl(port);
  return control && (*control & kAcsRedirectMask) == 0;
}

// A port whose whole configuration space answers without an ACS capability
// redirects nothing: there is nothing to switch off. One that cannot be read
// (gone, no sysfs entry) is unknown and gets the command.
bool hasNoAcs(const std::string& port) {
  const auto config = readConfigSpace(kSysPciDevices + port);
  return config && config->acsPresence() == AcsPresence::kAbsent;
}

}  // namespace

std::string acsDisableCommand(const std::string& port) {
  char write[64];
  snprintf(write, sizeof write, kAcsRedirectClear, unsigned{kAcsRedirectMask});
  return kSetpciSelect + port + write;
}

void close_acs_bdf(std::set<std::string> ports) {
  for (const auto& port : ports) {
    if (!isPciAddress(port)) {
      report(Priority::kError, kNotAnAddress, port.c_str());
      leaveUndone();
      continue;
    }
    if (hasNoAcs(port)) continue;
    fflush(stdout);
    const bool written = system(acsDisableCommand(port).c_str()) == 0;
    if (written && redirectionIsOff(port)) continue;
    report(Priority::kWarning, kAcsWarning, port.c_str());
    leaveUndone();
  }
}
