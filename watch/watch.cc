#include "watch/watch.h"

#include <poll.h>
#include <systemd/sd-daemon.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>

#include "common/device/exchange_area.h"
#include "common/device/pass_record.h"
#include "common/log/console.h"
#include "common/util/scoped.h"
#include "watch/driver.h"
#include "watch/instance_lock.h"
#include "watch/peer_dir_watch.h"
#include "watch/schedule.h"
#include "watch/tables.h"

namespace {

using Clock = PassSchedule::Clock;

constexpr int kPollForever = -1;

// Milliseconds until `when`, rounded up, at least 0.
int msUntil(Clock::time_point when) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

bool driverLoaded() { return access(kDriverDir, F_OK) == 0; }

// The events that ask for a pass and whether one of them needs no driver to
// be loaded: a driver node, or an overflow that may have swallowed one.
struct PendingPass {
  PassSchedule schedule;
  bool for_node = false;
};

// Reads the queued events and adds those that ask for a pass. False when
// reading fails.
bool readEvents(int inotify, int dev_watch, PeerDirWatch& peers, PendingPass& pending) {
  alignas(inotify_event) static char buffer[kEventBufferSize];
  const ssize_t length = read(inotify, buffer, sizeof buffer);
  if (length <= 0) return false;
  const auto now = Clock::now();
  forEachEvent(buffer, static_cast<size_t>(length), [&](const inotify_event& event) {
    const bool overflow = event.mask & IN_Q_OVERFLOW;
    if (overflow) peers.arm();  // directories may have come unseen
    if ((event.wd == dev_watch || overflow) && triggersPass(event)) {
      pending.schedule.add(now);
      pending.for_node = true;
    } else if (peers.onEvent(event)) {
      pending.schedule.add(now);
    }
  });
  return true;
}

// Runs the pending pass, unless only peer files asked for it and no driver is
// there to program.
void runPending(PendingPass& pending) {
  if (pending.for_node || driverLoaded()) watchPass();
  pending.schedule.clear();
  pending.for_node = false;
}

// Reads the guest into empty tables and programs the driver from them; the
// record of each GPU bound, none when the driver cannot be listed.
std::vector<GpuPassRecord> runPass(const timespec& started) {
  clearTables();
  if (!get_virl_Device()) return {};
  get_phy_Device();
  read_virl_mem(virl_gpu_name_set);
  read_phy_mem(phy_gpu_name_set, virl_bdf_minor_map);
  return VM_WriteItrDebug(virl_gpu_name_set, all_minor_phy_data_map, virl_bdf_minor_map,
                          phybdf_minor_map, unusable_gpu_reason_map, phy_file_found_set,
                          contested_phybdf_set, started);
}

// Takes the instance lock; false, after a message, when it is not ours.
bool lockedForUs(InstanceLock& lock, int& status) {
  lock = lockInstance();
  if (lock.fd.valid()) return true;
  status = lock.error ? 255 : kAlreadyRunningStatus;
  if (lock.error)
    reportTo(stderr, Priority::kError, "Error: Cannot lock %s: %s\n", kLockFile,
             strerror(lock.error));
  else if (lock.holder)
    reportTo(stderr, Priority::kError,
             "Error: p2pwatch is already running as process %d (it holds %s)\n",
             static_cast<int>(lock.holder), kLockFile);
  else
    reportTo(stderr, Priority::kError, "Error: p2pwatch is already running (it holds %s)\n",
             kLockFile);
  return false;
}

}  // namespace

bool isDriverNodeCreation(const inotify_event& event) {
  return (event.mask & IN_CREATE) && event.len > 0 && strstr(event.name, kDriverName);
}

bool triggersPass(const inotify_event& event) {
  return isDriverNodeCreation(event) || (event.mask & IN_Q_OVERFLOW);
}

void forEachEvent(const char* buffer, size_t length,
                  const std::function<void(const inotify_event&)>& fn) {
  size_t offset = 0;
  while (offset + sizeof(inotify_event) <= length) {
    const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
    const size_t record = sizeof(inotify_event) + event->len;
    if (offset + record > length) break;  // the kernel never cuts a record; a caller might
    fn(*event);
    offset += record;
  }
}

std::string passSummary(const timespec& pass, const std::vector<GpuPassRecord>& gpus) {
  const auto programmed = static_cast<size_t>(std::count_if(
      gpus.begin(), gpus.end(), [](const GpuPassRecord& gpu) { return gpu.programmed; }));
  struct tm local {};
  char time[16] = "??:??:??";
  if (localtime_r(&pass.tv_sec, &local)) strftime(time, sizeof time, "%H:%M:%S", &local);
  return std::string("last pass ") + time + ": " + std::to_string(programmed) +
         (programmed == 1 ? " GPU" : " GPUs") + " programmed, " +
         std::to_string(gpus.size() - programmed) + " failed";
}

void watchPass() {
  timespec started{};
  clock_gettime(CLOCK_REALTIME, &started);
  std::vector<GpuPassRecord> records;
  try {
    records = runPass(started);
  } catch (const std::exception& e) {
    report(Priority::kError, "Error: %s\n", e.what());
  }
  if (!writePassRecord(started, records)) {
    const int error = errno;
    report(Priority::kError, "Error: Cannot record the pass in %s: %s\n", kPassRecordFile,
           strerror(error));
  }
  sd_notify(0, ("STATUS=" + passSummary(started, records)).c_str());
}

int watchDevices() {
  InstanceLock lock;
  int status = 0;
  if (!lockedForUs(lock, status)) return status;
  ScopedFd inotify(inotify_init1(IN_CLOEXEC));
  if (!inotify.valid()) {
    reportTo(stderr, Priority::kError, "Error initializing inotify\n");
    return 255;
  }
  const int dev_watch = inotify_add_watch(inotify.get(), kWatchedDir, kWatchMask);
  if (dev_watch < 0) {
    reportTo(stderr, Priority::kError, "Error adding watch to /dev directory\n");
    return 255;
  }
  PeerDirWatch peers(inotify.get(), kPeerConfigDir);
  peers.arm();
  // The driver has bound GPUs before the watch was set (loaded from the
  // initramfs, or the daemon restarted): serve them without waiting for a node.
  if (driverLoaded()) watchPass();
  sd_notify(0, "READY=1");
  PendingPass pending;
  for (;;) {
    if (pending.schedule.isDue(Clock::now())) {
      runPending(pending);
      continue;
    }
    const PassSchedule& schedule = pending.schedule;
    pollfd fd = {inotify.get(), POLLIN, 0};
    const int ready = poll(&fd, 1, schedule.pending() ? msUntil(schedule.due()) : kPollForever);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    if (!readEvents(inotify.get(), dev_watch, peers, pending)) {
      reportTo(stderr, Priority::kError, "Error reading inotify events\n");
      return 0;
    }
  }
}
