#include "watch/watch.h"

#include <poll.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>

#include "common/log/console.h"
#include "common/util/scoped.h"
#include "watch/driver.h"
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

// The driver has bound GPUs before the watch was set (loaded from the
// initramfs, or the daemon restarted): serve them without waiting for a node.
void startUpPass() {
  if (access(kDriverDir, F_OK) == 0) watchPass();
}

// Reads the queued events and adds the matching ones to `schedule`. False
// when reading fails.
bool readEvents(int inotify, PassSchedule& schedule) {
  alignas(inotify_event) static char buffer[kEventBufferSize];
  const ssize_t length = read(inotify, buffer, sizeof buffer);
  if (length <= 0) return false;
  const auto now = Clock::now();
  forEachEvent(buffer, static_cast<size_t>(length), [&](const inotify_event& event) {
    if (triggersPass(event)) schedule.add(now);
  });
  return true;
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

void watchPass() {
  try {
    clearTables();
    get_virl_Device();
    get_phy_Device();
    read_virl_mem(virl_gpu_name_set);
    read_phy_mem(phy_gpu_name_set, virl_bdf_minor_map);
    VM_WriteItrDebug(virl_gpu_name_set, all_minor_phy_data_map, virl_bdf_minor_map,
                     phybdf_minor_map, unusable_peer_file_set);
  } catch (const std::exception& e) {
    report(Priority::kError, "Error: %s\n", e.what());
  }
}

int watchDevices() {
  ScopedFd inotify(inotify_init1(IN_CLOEXEC));
  if (!inotify.valid()) {
    reportTo(stderr, Priority::kError, "Error initializing inotify\n");
    return 255;
  }
  if (inotify_add_watch(inotify.get(), kWatchedDir, kWatchMask) < 0) {
    reportTo(stderr, Priority::kError, "Error adding watch to /dev directory\n");
    return 255;
  }
  startUpPass();
  sd_notify(0, "READY=1");
  PassSchedule schedule;
  for (;;) {
    if (schedule.pending() && msUntil(schedule.due()) == 0) {
      schedule.clear();
      watchPass();
      continue;
    }
    pollfd fd = {inotify.get(), POLLIN, 0};
    const int ready = poll(&fd, 1, schedule.pending() ? msUntil(schedule.due()) : kPollForever);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    if (!readEvents(inotify.get(), schedule)) {
      reportTo(stderr, Priority::kError, "Error reading inotify events\n");
      return 0;
    }
  }
}
