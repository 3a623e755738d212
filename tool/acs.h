// Switching ACS off on the switch ports above the GPUs.
#pragma once

#include <set>
#include <string>

// Command line that writes 0 into a port's ACS Control register, both output
// streams discarded and setpci's exit status passed back.
std::string acsDisableCommand(const std::string& port);

// Runs acsDisableCommand for every port in ascending order, reads each port's
// ACS Control back (without a process) and warns about each port where the
// command failed or the register does not read 0. A port name that is no PCI
// address is reported and never placed in a command line.
void close_acs_bdf(std::set<std::string> ports);
