// p2ptool --collect FILE: a compressed tar archive of what p2ptool reads, for
// a bug report a maintainer can replay (p2psim build DIR --from FILE).
// Strictly read-only: sysfs, the peer files and p2pwatch's record are read
// (no register or memory write, no driver file touched, no setpci), and only
// lspci runs, with fixed arguments and no shell. Any user may collect; what
// that user cannot read is named on standard error and in
// meta/not-collected. The archive file appears whole or not at all.
#pragma once

#include <string>

struct CollectOptions {
  std::string output;     // the archive's path, or "-" for standard output
  bool hostname = false;  // add meta/hostname
};

// 0 when the archive was written, 1 when it could not be.
int runCollect(const CollectOptions& options);
