// The entry of p2ptool --status: what the default mode would find and change,
// which running guests hold the GPUs, and what a guest's GPUs hold and what
// p2pwatch last did with them, gathered strictly read-only. Configuration
// space is read straight from sysfs `config`, windows through read-only
// mappings, peer files, p2pwatch's record and /proc/PID/fd as files: no
// configuration word or memory byte is written, no file made, no process
// started.
//
// A GPU gets the host view (host.h) when a port lies above it (it does not
// hang directly on a root bus), the guest view (guest.h) when it hangs
// directly on a root bus (passed through) or the peer configuration directory
// exists (p2ptool -r made it); a GPU may get both.
#pragma once

#include "tool/report/model.h"

// Gathers the status of every supported GPU below /sys/bus/pci/devices.
// Messages of the readers go to standard error. A failure that ends the
// gathering still gives a status, with its `error` (the verdict unknown).
Status collectStatus();
