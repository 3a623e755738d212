// The exchange area that carries a group's host addresses from host to guest.
//
// At offset 0x200000 of a GPU's memory window (resource0): n = 1 + 2*G
// little-endian 64-bit words for a group of G GPUs. Word 0 holds the packed BDF
// number of the GPU itself in its low half and n in its high half; then, in
// BDF string order, one pair per group member: packed BDF number, BAR0 base
// address. In the guest the words are stored unchanged, one peer configuration
// file per GPU, named by the GPU's guest BDF string.
#pragma once

#include <cstdint>

inline constexpr unsigned long kExchangeOffset = 0x200000;
// One memory transfer maps 256 bytes: at most 32 words, 15 GPUs per group.
inline constexpr unsigned kMaxAreaWords = 32;
inline constexpr const char* kPeerConfigDir = "/etc/qz/vm_p2p_cfg/";

// Word count from word 0 of an area.
inline unsigned areaWordCount(uint64_t word0) { return static_cast<unsigned>(word0 >> 32); }
// The packed BDF number of the GPU whose area it is, from word 0.
inline uint64_t areaSelf(uint64_t word0) { return word0 & 0xFFFFFFFFULL; }
