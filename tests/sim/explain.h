// Plain-words accounts of a simulated fabric for the demo (p2psim acs, gpus,
// decode; received.h for the guest's drivers): what the host and guest tools changed or wrote, and
// why a port or GPU was left alone. Worked out from the fabric's shape, never from the tools under
// test.
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
// A picked port that still redirects says so, naming the bits.
std::string explainAcs(const Fabric& fabric, const AcsSnapshot& before);

// The ports whose ACS Control differs from `before` (or is not in it), ascending.
std::vector<std::string> changedPorts(const Fabric& fabric, const AcsSnapshot& before);

// The ports p2ptool picks whose ACS Control still has redirect bits set, each
// with those bits as lspci names them ("ReqRedir CmpltRedir").
std::map<std::string, std::string> blockingPorts(const Fabric& fabric);

// One line per GPU: where it sits, or why it is in no group; then one line per
// group (the switch whose GPUs share exchange tables) with its GPUs, and one
// line per distinct pair of Command and power words in words, with its GPUs
// ("all N GPUs" when they agree).
std::string explainGpus(const Fabric& fabric);

// The words of an exchange area or peer file, each with its meaning; packed
// BDF numbers are named by the GPU of `host` they stand for.
std::string explainArea(const Fabric& host, const std::vector<uint64_t>& words);

// The group of a GPU: the switch whose GPUs share exchange tables; "" for none.
std::string groupOf(const Fabric& fabric, const std::string& gpu);

// The exchange area in a GPU's memory window: word 0, then as many words as
// its high half counts (1 to 32 words in all).
std::vector<uint64_t> readArea(const Fabric& host, const std::string& gpu);

struct NamedArea {
  std::string name;  // a GPU of the host fabric, or a peer file's name
  std::vector<uint64_t> words;
  bool peer_file = false;
};

struct AreasReport {
  std::string text;
  bool right = true;  // no area stated a fault (the words in capitals)
};

// One line per area: whom it names as self, whether its members are that
// GPU's group, its word count right and each address its member's host BAR0;
// a peer file also whether it equals the window of its self GPU word for
// word, a window the first area before it with the same members. The first
// area's line is followed by its words (explainArea).
AreasReport explainAreas(const Fabric& host, const std::vector<NamedArea>& areas);

}  // namespace sim
