// The benchmark's driver-load rows: while p2pwatch runs, the GPU driver binds
// the guest's GPUs one after another across about a second and creates one
// device node for each. Measured: the passes the daemon runs, the shells it
// starts, and the time from the last node to the last driver line, beside the
// time of one pass on its own.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace bench {

struct DriverLoad {
  size_t gpus = 0;
  size_t passes = 0;        // daemon output lines / GPUs (one line per GPU and pass)
  size_t shells = 0;        // driver lines received: each comes from one shell
  size_t pass_shells = 0;   // driver commands of one pass
  double last_node_ms = 0;  // from the last node to the last driver line
  double one_pass_ms = 0;   // from starting p2pwatch over the loaded driver to READY=1
  std::string problem;      // empty when every run did what it should
};

// Builds a fabric of `gpus` GPUs and its guest, stores the guest's peer
// files, and measures one driver load with p2pwatch from `bin_dir`.
DriverLoad measureDriverLoad(size_t gpus, const std::string& bin_dir);

std::string driverLoadTable(const std::vector<DriverLoad>& rows);

}  // namespace bench
