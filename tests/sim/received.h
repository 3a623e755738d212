// What the guest's GPU driver received from p2pwatch, in words, for the demo
// (p2psim received): every line checked against the host and guest fabrics.
#pragma once

#include <cstddef>
#include <string>

#include "tests/sim/fabric.h"

namespace sim {

struct ReceivedReport {
  std::string text;
  // False when a driver received a malformed line (not "pt_p2p_cfg <minor>
  // <hex address>"), a minor no GPU of the guest has, an address other than
  // that GPU's host BAR0, or not exactly the members of its group in the guest.
  bool right = true;
};

// Each GPU of `guest` bound to the driver, with what its itr_debug received
// (the lines in <log_dir>/itr-<guest BDF>.log). The first `in_full` GPUs with
// every line and the peer it names; each GPU with the count of its lines,
// whether they name exactly the members of its group that the guest has, each
// at its host BAR0, and the members of its group the guest lacks; then a
// line for all.
ReceivedReport explainReceived(const Fabric& guest, const Fabric& host, const std::string& log_dir,
                               size_t in_full);

}  // namespace sim
