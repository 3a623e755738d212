// The entry of p2ptool --status: what the default mode would find and change,
// which running guests hold the GPUs, and what a guest's GPUs hold and what
// p2pwatch last did with them, gathered strictly read-only. Configuration
// space is read straight from sysfs `config`, windows through read-only
// mappings, peer files, p2pwatch's record and /proc/PID/fd as files: no
// configuration word or memory byte is written, no file made, no process
// started.
//
// The machine's role (tool/role/) decides the view every GPU gets: the host
// view (host.h) on a host, the guest view (guest.h) in a guest. A peer
// configuration directory decides nothing.
#pragma once

#include "tool/report/model.h"

// Gathers the status of every supported GPU below /sys/bus/pci/devices.
// Messages of the readers go to standard error. A failure that ends the
// gathering still gives a status, with its `error` (the verdict unknown).
Status collectStatus();
