// Switching ACS redirection off on the switch ports above the GPUs: P2P
// Request Redirect, P2P Completion Redirect and P2P Egress Control
// (kAcsRedirectMask), every other ACS Control bit kept.
#pragma once

#include <string>

// Command line that clears the redirect bits of a port's ACS Control register
// in one value:mask write, both output streams discarded and setpci's exit
// status passed back.
std::string acsDisableCommand(const std::string& port);
