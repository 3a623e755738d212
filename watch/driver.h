// Programming the GPU driver: tell each guest GPU's driver instance the host
// BAR0 address of every member of its group, tied to the guest minor number
// under which the driver knows that member.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

// The guest GPU's driver control file.
std::string itrDebugFile(const std::string& bdf);

// The shell command that hands one member's minor and address to the driver.
std::string ptP2pCfgCommand(const std::string& peer_minor, const std::string& address,
                            const std::string& control_file);

// For every guest GPU: one command per group member, in the order of its peer
// file, then a line saying whether every command succeeded. Every command is
// bounded in time (command.h); one that overruns is reported and ends that
// GPU's commands. A GPU named in `unusable_peer_files` (its own peer file
// exists but could not be read or is malformed) gets no command and an error
// line naming that file.
void VM_WriteItrDebug(std::set<std::string> names,
                      std::map<std::string, std::vector<std::string>> data,
                      std::map<std::string, std::string> virl_minors,
                      std::map<std::string, std::string> phy_minors,
                      std::set<std::string> unusable_peer_files = {});
