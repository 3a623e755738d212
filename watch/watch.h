// The watch: the device nodes the GPU driver creates in /dev, and peer
// configuration files stored in /etc/qz/vm_p2p_cfg/ (peer_dir_watch.h),
// trigger a pass that reads the guest afresh, programs the driver and records
// the outcome. A burst of events gets one pass after it (schedule.h); so does
// an overflow of the event queue, which may have swallowed some. A pass also
// runs at start-up, once the watch is set, when the driver is loaded already;
// a pass that only peer files asked for runs only then too, since with no
// driver there is nothing to program.
#pragma once

#include <sys/inotify.h>

#include <cstddef>
#include <functional>

#include "common/device/tamberon_driver.h"

inline constexpr const char* kWatchedDir = "/dev";
inline constexpr unsigned kWatchMask = IN_CREATE | IN_DELETE;
inline constexpr size_t kEventBufferSize = 0x8000;

// True for the creation of a node whose name carries the driver's name.
bool isDriverNodeCreation(const inotify_event& event);

// True for a driver node's creation and for an overflow of the event queue.
bool triggersPass(const inotify_event& event);

// Calls `fn` for every event record in the first `length` bytes of `buffer`.
void forEachEvent(const char* buffer, size_t length,
                  const std::function<void(const inotify_event&)>& fn);

// Reads the guest, programs the driver and replaces the pass record
// (pass_record.h). Never throws: a failure is reported and the daemon keeps
// watching.
void watchPass();

// Sets up the watch, runs the start-up pass, tells systemd it is ready
// (READY=1, when started as a notify service) and runs passes until reading
// events fails. Returns the exit status: 255 when the watch cannot be set up,
// 0 when reading fails.
int watchDevices();
