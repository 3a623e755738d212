// Plain-words accounts of a simulated fabric for the demo (p2psim acs, gpus,
// decode, received): what the host and guest tools changed or wrote, and why
// a port or GPU was left alone. Worked out from the fabric's shape, never from
// the tools under test.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/sim/fabric.h"

namespace sim {

// ACS Control of every port that has an ACS capability, by BDF.
using AcsSnapshot = std::map<std::string, uint16_t>;
AcsSnapshot acsSnapshot(const Fabric& fabric);
std::string formatSnapshot(const AcsSnapshot& snapshot);  // "<bdf> <hex>" lines
AcsSnapshot parseSnapshot(const std::string& text);       // throws std::invalid_argument

// One line per port: role, ACS Control before and now, "changed" or "left
// alone", and why p2ptool picks or skips it; then what the values mean.
std::string explainAcs(const Fabric& fabric, const AcsSnapshot& before);

// One line per GPU: where it sits, its group (the switch whose GPUs share
// exchange tables) or why it has none, and its Command and power words in words.
std::string explainGpus(const Fabric& fabric);

// The words of an exchange area or peer file, each with its meaning; packed
// BDF numbers are named by the GPU of `host` they stand for.
std::string explainArea(const Fabric& host, const std::vector<uint64_t>& words);

// What each bound GPU of `guest` received on its itr_debug, read from
// <log_dir>/itr-<guest BDF>.log: every line with the peer it names. With
// `summary`, one line per GPU: the peers its driver learnt.
std::string explainReceived(const Fabric& guest, const Fabric& host, const std::string& log_dir,
                            bool summary);

}  // namespace sim
