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

// The contents of one peer configuration file.
struct PeerFile {
  unsigned long self = 0;            // host packed BDF number of the GPU
  std::vector<unsigned long> words;  // all words, word 0 cut to the self field
};

// Reads the peer configuration file open as `fd` (named `path` in messages).
// Nothing (after a message) when it is malformed: shorter than its word count
// says, or with a count beyond what one transfer maps. An empty file is
// malformed too; it is never mapped, since touching a mapping past the end of
// a file faults. The descriptor stays open.
std::optional<PeerFile> readPeerFd(int fd, const std::string& path);

void get_virl_Device();
void get_phy_Device();
void read_virl_mem(std::set<std::string> names);
void read_phy_mem(std::set<std::string> names, std::map<std::string, std::string> minors);
