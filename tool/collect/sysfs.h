// The sysfs part of a snapshot: every function of the GPU vendor and every
// bridge or port above one up to its host bridge, as sysfs shows them, read
// without writing and without a process. Of a GPU's windows only what
// p2ptool reads: the exchange area of resource0 and the board registers of
// resource2, each at its offset in a file of the window's size, the rest
// holes.
#pragma once

#include <string>
#include <vector>

#include "tool/collect/snapshot.h"

// Adds the tree below sys/ and returns the BDFs of the functions gathered.
std::vector<std::string> gatherSysfs(Snapshot& snapshot);

// A configuration space image with the serial number of its Device Serial
// Number capability zeroed; its header stays, so the list still leads on.
std::string withoutSerialNumber(const std::string& config);
