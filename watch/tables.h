// p2pwatch's device tables: the GPUs the driver has bound in this guest, the
// minor under which it knows each, and each one's own peer configuration file,
// which p2ptool stored here under the GPU's guest PCI address. "virl" names the
// guest's own view, "phy" the host's view from the files.
//
// Every pass starts from empty tables (clearTables) and fills them afresh, so
// nothing a GPU's earlier binding or an earlier layout left behind survives.
// Only the files of GPUs bound here and answering take part; any other file is
// named and ignored, so that a stale file can never speak for a GPU this guest
// has. Only checked text enters the tables: names that are PCI addresses and
// decimal minors; anything else is reported naming its file and left out.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

// Guest BDF strings of the GPUs bound to the driver and answering.
extern std::set<std::string> virl_gpu_name_set;
// Names (guest BDF strings) of the peer configuration files that take part:
// those of the GPUs in virl_gpu_name_set, whether they are there or not.
extern std::set<std::string> phy_gpu_name_set;
// Guest BDF string -> driver minor number (text).
extern std::map<std::string, std::string> virl_bdf_minor_map;
// Host packed BDF number (hex text) -> minor of the guest GPU whose file it is.
extern std::map<std::string, std::string> phybdf_minor_map;
// Minor -> the words of that GPU's peer file as hex texts, word 0 cut to its self field.
extern std::map<std::string, std::vector<std::string>> all_minor_phy_data_map;
// Guest BDF string -> why that bound GPU cannot be programmed: offline, no
// usable minor, or no usable peer file.
extern std::map<std::string, std::string> unusable_gpu_reason_map;
// Names of the peer configuration files read in this pass that were there,
// usable or not.
extern std::set<std::string> phy_file_found_set;
// Host packed BDF numbers (hex text) that the usable files of two GPUs or
// more name as their own (guest_claims.h): no minor stands for them.
extern std::set<std::string> contested_phybdf_set;

void clearTables();

// Fills virl_gpu_name_set from the driver's directory; a GPU whose
// configuration space reads 0xFF is reported offline and enters
// unusable_gpu_reason_map instead. False, after a message, when the directory
// cannot be listed: then no GPU is bound and no peer file is judged.
bool get_virl_Device();
// Fills phy_gpu_name_set and names every other entry of the peer
// configuration directory, once.
void get_phy_Device();
// Fills virl_bdf_minor_map; a GPU without a usable minor, or with one another
// GPU has too, enters unusable_gpu_reason_map.
void read_virl_mem(std::set<std::string> names);
// Reads the files of the GPUs that have a minor in `minors`; fills
// phybdf_minor_map and all_minor_phy_data_map from the usable ones, and
// unusable_gpu_reason_map with the GPUs whose file is not, or names the same
// host GPU as another usable file (then that host GPU enters
// contested_phybdf_set).
void read_phy_mem(std::set<std::string> names, std::map<std::string, std::string> minors);
