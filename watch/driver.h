// Programming the GPU driver: tell each guest GPU's driver instance the host
// BAR0 address of every member of its group that this guest has, tied to the
// guest minor number under which the driver knows that member.
#pragma once

#include <time.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/device/pass_record.h"
#include "watch/tables.h"

// The guest GPU's driver control file.
std::string itrDebugFile(const std::string& bdf);

// The shell command that hands one member's minor and address to the driver.
std::string ptP2pCfgCommand(const std::string& peer_minor, const std::string& address,
                            const std::string& control_file);

// What one GPU's driver is told, from its own peer file.
struct GroupPlan {
  std::vector<std::pair<std::string, std::string>>
      lines;                       // {member minor, address hex}, file order
  std::vector<uint64_t> left_out;  // host packed BDF numbers of members without a GPU here
};

// The lines for a GPU whose peer file (named `path` in messages) lists
// `file`'s members: one per member that has a minor in `minor_of_host`. A
// member whose address cannot be a BAR (0 or all ones) is reported and never
// sent; a member without a minor is left out, never sent with an empty one.
GroupPlan planGroup(const PeerFile& file, const std::string& path,
                    const std::map<uint64_t, std::string>& minor_of_host);

// Programs every GPU of `tables`, in order, and says for each what came of it:
// a red "Error:" line for a GPU that cannot be programmed or whose driver did
// not take every line, otherwise the success line naming the GPU and how many
// lines it sent. Every command is bounded in time (command.h); one that
// overruns is reported and ends that GPU's commands. Returns the record of
// each GPU, stamped with `pass`.
std::vector<GpuPassRecord> programDriver(const GuestTables& tables, const timespec& pass);
