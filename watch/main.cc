// p2pwatch: guest daemon. Waits for the GPU driver's device nodes in /dev and
// programs every GPU's driver with the host addresses of its group.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>

#include "common/log/console.h"
#include "common/util/standard_streams.h"
#include "watch/watch.h"

namespace {

constexpr int kUsageStatus = 2;
constexpr char kUsage[] =
    "Usage: p2pwatch [-h|--help] [--version]\n"
    "Guest daemon: waits for the tamberon driver's device nodes in /dev, and for\n"
    "peer configuration files stored in /etc/qz/vm_p2p_cfg/, and tells every GPU's\n"
    "driver the host addresses of the members of its group this guest has, from\n"
    "those files. Records each pass in /run/p2pwatch/status. Runs as root until\n"
    "reading its event queue fails; meant to run as the p2pwatch systemd service.\n"
    "  -h, --help  print this help and exit\n"
    "  --version   print the version and exit\n";

bool is(const char* arg, const char* name) { return strcmp(arg, name) == 0; }

// Answers the options; the status to exit with, or -1 to run the daemon.
int handleArguments(int argc, char** argv) {
  if (argc == 1) return -1;
  if (argc == 2 && (is(argv[1], "-h") || is(argv[1], "--help"))) {
    fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && is(argv[1], "--version")) {
    printf("p2pwatch %s\n", P2P_VERSION);
    return 0;
  }
  const bool first_known = is(argv[1], "-h") || is(argv[1], "--help") || is(argv[1], "--version");
  fprintf(stderr, "p2pwatch: unexpected argument '%s'\n%s", argv[first_known ? 2 : 1], kUsage);
  return kUsageStatus;
}

}  // namespace

int main(int argc, char** argv) {
  if (!prepareStandardStreams()) return 1;
  // Run as a service, standard output is a pipe to the journal: deliver each
  // line as it happens.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  const int status = handleArguments(argc, argv);
  if (status >= 0) return status;
  if (geteuid() != 0) {
    report(Priority::kError, "Requires root privileges.\n");
    return 255;
  }
  try {
    return watchDevices();
  } catch (const std::exception& e) {
    reportTo(stderr, Priority::kError, "Error: %s\n", e.what());
    return 1;
  }
}
