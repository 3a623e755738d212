// p2pwatch's device tables: the GPUs the driver has bound in this guest, their
// driver minor numbers, and the peer configuration files p2ptool stored here.
// "virl" names the guest's own view, "phy" the host's view from the files.
//
// Every pass starts from empty tables (clearTables) and fills them from what
// it finds, so nothing a GPU's earlier binding left behind survives. Only
// checked text enters them: names that are PCI addresses, decimal minors, and
// peer entries whose address can be a BAR (neither 0 nor all ones); anything
// else is reported naming its file and left out.
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
// Names of peer configuration files that exist but could not be read or are malformed.
extern std::set<std::string> unusable_peer_file_set;

void clearTables();

void get_virl_Device();
void get_phy_Device();
void read_virl_mem(std::set<std::string> names);
void read_phy_mem(std::set<std::string> names, std::map<std::string, std::string> minors);
