// Switching ACS off on the switch ports above the GPUs.
#pragma once

#include <set>
#include <string>

// Command line that writes 0 into a port's ACS Control register, both output
// streams discarded and setpci's exit status passed back.
std::string acsDisableCommand(const std::string& port);

// Runs acsDisableCommand for every port in ascending order and warns about
// each port where it failed.
void close_acs_bdf(std::set<std::string> ports);
