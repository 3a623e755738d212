// p2pwatch's device tables: the GPUs the driver has bound in this guest, their
// driver minor numbers, and the peer configuration files p2ptool stored here.
// "virl" names the guest's own view, "phy" the host's view from the files.
//
// The tables live for the whole run; every pass adds to them and overwrites
// entries with the same key.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/device/exchange_area.h"
#include "common/device/peer_file.h"
#include "common/device/tamberon_driver.h"

// Guest BDF strings of the GPUs bound to the driver and answering.
extern std::set<std::string> virl_gpu_name_set;
// Names (guest BDF strings) of the peer configuration files of answering GPUs.
extern std::set<std::string> phy_gpu_name_set;
// Guest BDF string -> driver minor number (text).
extern std::map<std::string, std::string> virl_bdf_minor_map;
// Host packed BDF number (hex text) -> minor of the guest GPU whose file it is.
extern std::map<std::string, std::string> phybdf_minor_map;
// Minor -> the words of that GPU's peer file as hex texts, word 0 cut to its self field.
extern std::map<std::string, std::vector<std::string>> all_minor_phy_data_map;

void get_virl_Device();
void get_phy_Device();
void read_virl_mem(std::set<std::string> names);
void read_phy_mem(std::set<std::string> names, std::map<std::string, std::string> minors);
