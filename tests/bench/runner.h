// Runs p2ptool and p2pwatch over a benchmark fabric in the sandbox: timed runs
// first, then one run under strace that counts the processes started.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "tests/bench/bench_fabric.h"
#include "tests/bench/modes.h"
#include "tests/bench/trace_count.h"
#include "tests/sim/fabric.h"
#include "tests/sim/sandbox.h"
#include "tests/sim/tempdir.h"

namespace bench {

struct Measurement {
  double wall_ms = 0;    // median of the timed runs
  ProcessCounts counts;  // of the traced run
  std::string problem;   // empty when every run did what it should
};

// A host fabric of `gpus` GPUs and its passthrough guest in a scratch
// directory, each with a sandbox of its own (/sys, /etc overlay, /dev).
class FabricBench {
 public:
  FabricBench(size_t gpus, std::string bin_dir);

  const HostLayout& layout() const { return layout_; }
  // Measures one mode; the modes must be measured in kAllModes order (the
  // guest reads what -w wrote, the watch pass uses what -r stored).
  Measurement measure(Mode mode, int runs);

 private:
  Measurement measureTool(Mode mode, int runs);
  Measurement measureWatch(int runs);
  void timeWatchPasses(int runs, Measurement& m);
  void traceWatchPass(int pass, Measurement& m);
  std::vector<std::string> tracedArgv(const std::vector<std::string>& argv,
                                      const std::string& trace) const;
  size_t driverLinesReceived();  // by all guest GPUs since they were bound

  std::string bin_dir_;
  sim::TempDir scratch_;
  sim::Fabric host_;
  sim::Fabric guest_;
  HostLayout layout_;
  std::vector<std::pair<std::string, std::string>> pairs_;  // {guest GPU, host GPU}
  sim::Sandbox host_box_;
  sim::Sandbox guest_box_;
  int traces_ = 0;
};

// Median wall time of starting /bin/true in a sandbox: the set-up cost that
// every p2ptool figure includes.
double sandboxStartMs(int runs);

}  // namespace bench
