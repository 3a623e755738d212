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

#include <time.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "common/device/pass_record.h"

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

// What systemd shows of a pass (STATUS=): "last pass 12:00:03: 2 GPUs
// programmed, 0 failed", the local time of its start `pass`.
std::string passSummary(const timespec& pass, const std::vector<GpuPassRecord>& gpus);

// Reads the guest, programs the driver, replaces the pass record
// (pass_record.h) and tells systemd the summary. Never throws: a failure is
// reported and the daemon keeps watching. Messages that cannot be written (a
// reader of the output gone) do not stop it.
void watchPass();

// Exit status when another p2pwatch holds the lock (instance_lock.h).
inline constexpr int kAlreadyRunningStatus = 3;

// Takes the instance lock, sets up the watch, runs the start-up pass, tells
// systemd it is ready (READY=1, when started as a notify service) and runs
// passes until reading events fails. Returns the exit status:
// kAlreadyRunningStatus when another instance runs, 255 when the lock or the
// watch cannot be set up, 0 when reading fails.
int watchDevices();
