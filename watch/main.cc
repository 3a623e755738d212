// p2pwatch: guest daemon. Waits for the GPU driver's device nodes in /dev and
// programs every GPU's driver with the host addresses of its group.
#include <unistd.h>

#include <cstdio>
#include <exception>

#include "watch/watch.h"

int main() {
  // Run as a service, standard output is a pipe to the journal: deliver each
  // line as it happens.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (geteuid() != 0) {
    printf("Requires root privileges.\n");
    return 255;
  }
  try {
    return watchDevices();
  } catch (const std::exception& e) {
    fprintf(stderr, "Error: %s\n", e.what());
    return 1;
  }
}
