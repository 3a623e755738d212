// Writes a snapshot as a gzip-compressed tar archive (pax), reproducibly: the
// members in path order, every owner root (0:0) without names, every time
// the member's own (0 for all but the guest's files), sparse files with
// their holes left out, and a gzip header without a time.
#pragma once

#include <string>

#include "tool/collect/snapshot.h"

// Writes to the open descriptor `fd`; "" when written, else why not.
std::string writeArchive(const Snapshot& snapshot, int fd);
