// p2ptool's process-wide containers. Discovery fills the GPU sets, topology
// analysis the port set and the groups; the run modes only read them.
#pragma once

#include <filesystem>
#include <map>
#include <set>
#include <string>

// BDF string -> BAR0 base address.
using BarMap = std::map<std::string, unsigned long>;
// Group key -> the group's GPUs with their BAR0 base addresses.
using GroupMap = std::map<std::string, BarMap>;

extern std::set<std::filesystem::path> gpu_bus_path_set;
extern std::set<std::string> gpu_bus_name_set;
extern std::set<std::string> acs_need_down_switch_name_set;
// GPUs a running guest holds or may hold unseen, left alone by discovery and by
// -w (not with --force).
extern std::set<std::string> gpu_in_use_set;
// GPUs that analysis puts in no group, with the reason ("directly below root
// port 0000:85:00.0"); -w names them.
extern std::map<std::string, std::string> ungrouped_gpu_map;
extern BarMap bdf_bar_map;
extern GroupMap real_host_map;
extern BarMap virl_host_map;
