#include "tool/containers.h"

std::set<std::filesystem::path> gpu_bus_path_set;
std::set<std::string> gpu_bus_name_set;
std::set<std::string> acs_need_down_switch_name_set;
std::set<std::string> gpu_in_use_set;
std::map<std::string, std::string> ungrouped_gpu_map;
BarMap bdf_bar_map;
GroupMap real_host_map;
BarMap virl_host_map;
