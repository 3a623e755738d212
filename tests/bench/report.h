// The benchmark's table: one row per fabric size and mode, the measured
// wall time and program starts beside what the design needs.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tests/bench/modes.h"
#include "tests/bench/runner.h"

namespace bench {

struct Row {
  size_t gpus = 0;
  Mode mode = Mode::kDefault;
  Measurement measured;
  Needed needed;
};

// The fabric of one size, in words ("256 GPUs: 32 switches, 64 dual-chip, 4 domains").
std::string fabricSummary(const HostLayout& layout);
// CPUs, CPU model, kernel, date and the 1-minute load average of this machine.
std::string machineSummary();

std::string table(const std::vector<Row>& rows);
std::string legend(double sandbox_start_ms, int runs);

}  // namespace bench
