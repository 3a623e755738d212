// The guest's part of a snapshot: the peer configuration files that p2ptool
// -r stored (etc/qz/vm_p2p_cfg/) and p2pwatch's record of its last pass
// (run/p2pwatch/status), each with its modification time, which the report
// compares. Only files named by a PCI address are taken from the peer
// directory; a peer file that is no regular file is named, never opened.
// Beside them the first processor's block of /proc/cpuinfo (proc/cpuinfo),
// whose hypervisor flag decides host or guest where the GPUs do not.
#pragma once

#include "tool/collect/snapshot.h"

void gatherGuestFiles(Snapshot& snapshot);
