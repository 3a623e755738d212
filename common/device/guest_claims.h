// Claims that only one GPU of a guest may make: the minor under which the
// driver knows it, and the host GPU that its peer file names (its self
// field). When two GPUs make the same claim, neither can be told apart from
// the other: a stale file of an earlier layout, or a driver that gave one
// minor twice. p2pwatch then programs neither of them and p2ptool -s calls
// neither ready, each naming the files of both.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "common/device/exchange_area.h"

// Guest BDF -> why that GPU's claim is shared, naming its own file first:
// "<its file> <claim>, as does <other file>", or "as do <file>, <file>".
using SharedClaims = std::map<std::string, std::string>;

// Of the bound GPUs in `minors` (guest BDF -> minor), those whose minor
// another one has too: "minor file <path> holds 3, as does minor file <path>".
SharedClaims sharedMinors(const std::map<std::string, std::string>& minors);

// Of the GPUs in `selves` (guest BDF -> self field of its peer file in
// `dir`), those whose host GPU another file names too: "peer configuration
// file <path> names host GPU 0000:3d:00.0, as does peer configuration file
// <path>".
SharedClaims sharedHostGpus(const std::map<std::string, uint64_t>& selves,
                            const std::string& dir = kPeerConfigDir);
