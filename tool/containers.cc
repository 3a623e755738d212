#include "tool/containers.h"

std::set<std::filesystem::path> gpu_bus_path_set;
std::set<std::string> gpu_bus_name_set;
std::set<std::string> acs_need_down_switch_name_set;
BarMap bdf_bar_map;
GroupMap real_host_map;
BarMap virl_host_map;
