#include "watch/watch.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>

#include "common/util/scoped.h"
#include "watch/driver.h"
#include "watch/tables.h"

bool isDriverNodeCreation(const inotify_event& event) {
  return (event.mask & IN_CREATE) && event.len > 0 && strstr(event.name, kDriverName);
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
    get_virl_Device();
    get_phy_Device();
    read_virl_mem(virl_gpu_name_set);
    read_phy_mem(phy_gpu_name_set, virl_bdf_minor_map);
    VM_WriteItrDebug(virl_gpu_name_set, all_minor_phy_data_map, virl_bdf_minor_map,
                     phybdf_minor_map);
  } catch (const std::exception& e) {
    printf("Error: %s\n", e.what());
  }
}

int watchDevices() {
  ScopedFd inotify(inotify_init());
  if (!inotify.valid()) {
    fprintf(stderr, "Error initializing inotify\n");
    return 255;
  }
  if (inotify_add_watch(inotify.get(), kWatchedDir, kWatchMask) < 0) {
    fprintf(stderr, "Error adding watch to /dev directory\n");
    return 255;
  }
  alignas(inotify_event) char buffer[kEventBufferSize];
  for (;;) {
    const ssize_t length = read(inotify.get(), buffer, sizeof buffer);
    if (length <= 0) {
      fprintf(stderr, "Error reading inotify events\n");
      return 0;
    }
    forEachEvent(buffer, static_cast<size_t>(length), [](const inotify_event& event) {
      if (isDriverNodeCreation(event)) watchPass();
    });
  }
}
