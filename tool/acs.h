// Switching ACS redirection off on the switch ports above the GPUs: P2P
// Request Redirect, P2P Completion Redirect and P2P Egress Control
// (kAcsRedirectMask), every other ACS Control bit kept.
#pragma once

#include <set>
#include <string>

// Command line that clears the redirect bits of a port's ACS Control register
// in one value:mask write, both output streams discarded and setpci's exit
// status passed back.
std::string acsDisableCommand(const std::string& port);

// Runs acsDisableCommand for every port in ascending order, reads each port's
// ACS Control back (without a process) and warns about each port where the
// command failed or a redirect bit still reads set. A port whose configuration
// space shows no ACS capability redirects nothing: it gets neither a command
// nor a warning. A port name that is no PCI address is reported and never
// placed in a command line. Every port warned about or reported is left
// undone (tool/undone.h); the next port follows. The plan of this step is
// planPorts' (tool/plan/planners.h), applied by applyPorts.
void close_acs_bdf(std::set<std::string> ports);
