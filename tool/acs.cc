#include "tool/acs.h"

#include <cstdio>

#include "common/device/pci_config.h"

namespace {

constexpr const char* kSetpciSelect = "setpci -s ";
// Clears the redirect bits only (setpci's value:mask write; kAcsRedirectMask).
// Plain redirections: /bin/sh need not be bash, where "&>" would background
// the command and lose its status.
constexpr const char* kAcsRedirectClear = " ECAP_ACS+6.w=0000:%04x > /dev/null 2>&1";

}  // namespace

std::string acsDisableCommand(const std::string& port) {
  char write[64];
  snprintf(write, sizeof write, kAcsRedirectClear, unsigned{kAcsRedirectMask});
  return kSetpciSelect + port + write;
}
