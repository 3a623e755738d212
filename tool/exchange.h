// The exchange area a GPU carries in its memory window from host to guest.
//
// At offset 0x200000 of resource0: n = 1 + 2*G little-endian 64-bit words for a
// group of G GPUs. Word 0 holds the packed BDF number of the GPU itself in its
// low half and n in its high half; then, in BDF string order, one pair per
// group member: packed BDF number, BAR0 base address. A guest stores the words
// unchanged as its peer configuration file.
#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tool/containers.h"

inline constexpr unsigned long kExchangeOffset = 0x200000;
// 256 mapped bytes hold at most 32 words: 15 GPUs per group.
inline constexpr unsigned kMaxAreaWords = 32;
inline constexpr size_t kMaxGroupSize = (kMaxAreaWords - 1) / 2;
// High half of word 0 of a window that does not answer.
inline constexpr unsigned kOfflineCount = 0xFFFFFFFF;

inline constexpr const char* kWindowFile = "/resource0";
inline constexpr const char* kPeerConfigDir = "/etc/qz/vm_p2p_cfg/";

// The area to write into `self`'s window for its group.
std::vector<unsigned long> buildExchangeArea(const std::string& self, const BarMap& group);

// Word count from word 0 of an area.
inline unsigned areaWordCount(unsigned long word0) { return static_cast<unsigned>(word0 >> 32); }

// The device path whose last component is `bdf` (first in set order).
std::optional<std::filesystem::path> findDevicePath(const std::set<std::filesystem::path>& devices,
                                                    const std::string& bdf);

// Opens the GPU's memory window read/write; prints the error and returns -1.
int openWindow(const std::filesystem::path& device);

// Reads the exchange area from the memory window open as `fd` (the GPU named
// `name` in messages). Nothing when the transfer fails, the card does not
// answer (count all ones) or the count exceeds kMaxAreaWords, the last two
// after a message. The descriptor stays open.
std::optional<std::vector<unsigned long>> readExchangeArea(int fd, const std::string& name);

// Writes every grouped GPU's exchange area into its memory window (host side).
void output_base_addr(const GroupMap& real_host_map,
                      const std::set<std::filesystem::path>& gpu_bus_path_set);

// Stores every grouped GPU's exchange area as a peer configuration file
// (guest side).
void VM_SaveMemoryDataToFile(const GroupMap& real_host_map,
                             const std::set<std::filesystem::path>& gpu_bus_path_set);
