// What a pass knows of the guest: the GPUs the driver has bound here, the
// minor under which it knows each, and each one's own peer configuration file,
// which p2ptool stored here under the GPU's guest PCI address.
//
// Every pass reads all of it afresh, so nothing a GPU's earlier binding or an
// earlier layout left behind survives. Only the files of GPUs bound here and
// answering take part; the file of a GPU not bound here is named and ignored,
// so that a stale file can never speak for a GPU this guest has.
// Only checked text enters the tables: names that are PCI addresses and
// decimal minors; anything else is reported naming its file and left out.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/device/peer_file.h"

// One GPU bound to the driver, as a pass found it.
struct BoundGpu {
  std::string bdf;       // guest PCI address
  bool offline = false;  // its configuration space reads 0xFF
  std::string minor;     // empty when the GPU has none that can be used
  PeerFileLoad peers;    // its own peer file (read only when it has a minor)
  std::string failure;   // why it cannot be programmed; empty when it can
};

struct GuestTables {
  std::vector<BoundGpu> gpus;                     // every GPU bound, ascending PCI address
  std::map<uint64_t, std::string> minor_of_host;  // host packed BDF number -> guest minor
};

// Reads the driver's GPUs, their minors and their peer files, reporting what
// cannot be used. A GPU whose configuration space reads 0xFF is reported as
// offline and not programmed.
GuestTables readGuestTables();
