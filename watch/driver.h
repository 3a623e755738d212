// Programming the GPU driver: tell each guest GPU's driver instance the host
// BAR0 address of every member of its group that this guest has, tied to the
// guest minor number under which the driver knows that member.
#pragma once

#include <time.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/device/pass_record.h"

// The guest GPU's driver control file.
std::string itrDebugFile(const std::string& bdf);

// The shell command that hands one member's minor and address to the driver.
std::string ptP2pCfgCommand(const std::string& peer_minor, const std::string& address,
                            const std::string& control_file);

// What one GPU's driver is told, from its own peer file.
struct GroupPlan {
  std::vector<std::pair<std::string, std::string>>
      lines;                          // {member minor, address hex}, file order
  std::vector<std::string> left_out;  // host packed BDF numbers (hex) of members without a GPU here
  std::vector<std::string> contested;  // those of members that two GPUs' files claim
};

// The lines for a GPU whose peer file (named `path` in messages) holds
// `words` (hex texts, as all_minor_phy_data_map keeps them): one per member
// that has a minor in `phy_minors` (phybdf_minor_map). A member whose address
// cannot be a BAR (0 or all ones) is reported and never sent; a member
// without a minor is left out, never sent with an empty one, and so is one in
// `contested` (contested_phybdf_set), whose minor cannot be told.
GroupPlan planGroupLines(const std::vector<std::string>& words, const std::string& path,
                         const std::map<std::string, std::string>& phy_minors,
                         const std::set<std::string>& contested = {});

// Programs every GPU of `names` (virl_gpu_name_set) that `unusable` (guest
// BDF -> reason) does not name, in ascending order, with the words `data`
// keeps under its minor in `virl_minors`, and says for each what came of it:
// a red "Error:" line for a GPU that cannot be programmed or whose driver did
// not take every line, otherwise the success line naming the GPU and how many
// lines it sent. A GPU `unusable` names but `names` does not was dropped as
// offline and reported then. Members in `contested` are left out with a
// warning. Every command is bounded in time (command.h); one that overruns is
// reported and ends that GPU's commands. Returns the record of each GPU of
// either, stamped with `pass`; its peer file is named when `found_files` has it.
std::vector<GpuPassRecord> VM_WriteItrDebug(std::set<std::string> names,
                                            std::map<std::string, std::vector<std::string>> data,
                                            std::map<std::string, std::string> virl_minors,
                                            std::map<std::string, std::string> phy_minors,
                                            std::map<std::string, std::string> unusable,
                                            std::set<std::string> found_files,
                                            std::set<std::string> contested, const timespec& pass);
