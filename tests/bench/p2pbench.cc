// p2pbench: times p2ptool (default, -w on the host, -r in the guest) and one
// p2pwatch pass over simulated fabrics of growing size, and counts the
// processes each starts against what the design needs. Prints a table; never
// fails on times.
//
//   p2pbench [--sizes 8,64,256] [--runs 3]
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "tests/bench/driver_load.h"
#include "tests/bench/report.h"
#include "tests/bench/runner.h"
#include "tests/sim/sandbox.h"

namespace {

constexpr char kDescription[] = "Times p2ptool and p2pwatch on simulated fabrics.";
constexpr char kOwnExe[] = "/proc/self/exe";
constexpr int kSandboxProbeRuns = 10;
constexpr int kDefaultRuns = 3;
constexpr int kUnavailableStatus = 1;

struct Options {
  std::vector<size_t> sizes = {8, 64, 256};
  std::vector<size_t> load_sizes = {16, 64};  // driver-load rows
  int runs = kDefaultRuns;
};

// p2ptool and p2pwatch are built beside this program.
std::string binDir() { return std::filesystem::read_symlink(kOwnExe).parent_path().string(); }

std::vector<bench::Row> measureSize(size_t gpus, const Options& options) {
  const auto start = std::chrono::steady_clock::now();
  bench::FabricBench fabric(gpus, binDir());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cerr << "p2pbench: " << bench::fabricSummary(fabric.layout()) << " (built in " << seconds
            << " s)" << std::endl;
  std::vector<bench::Row> rows;
  for (bench::Mode mode : bench::kAllModes) {
    std::cerr << "p2pbench:   " << bench::modeLabel(mode) << std::endl;
    rows.push_back({gpus, mode, fabric.measure(mode, options.runs),
                    bench::designNeeds(mode, fabric.layout())});
  }
  return rows;
}

int run(const Options& options) {
  const std::string reason = sim::sandboxUnavailableReason();
  if (!reason.empty()) {
    std::cerr << "p2pbench: cannot run: " << reason << std::endl;
    return kUnavailableStatus;
  }
  const std::string machine = bench::machineSummary();
  std::vector<bench::Row> rows;
  for (size_t gpus : options.sizes) {
    auto measured = measureSize(gpus, options);
    rows.insert(rows.end(), measured.begin(), measured.end());
  }
  std::cout << "Machine: " << machine << "\n\n"
            << bench::table(rows) << "\n"
            << bench::legend(bench::sandboxStartMs(kSandboxProbeRuns), options.runs);
  std::vector<bench::DriverLoad> loads;
  for (size_t gpus : options.load_sizes) {
    std::cerr << "p2pbench: driver load, " << gpus << " GPUs" << std::endl;
    loads.push_back(bench::measureDriverLoad(gpus, binDir()));
  }
  std::cout << "\n" << bench::driverLoadTable(loads);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{kDescription};
  Options options;
  app.add_option("--sizes", options.sizes, "GPUs per fabric")->delimiter(',');
  app.add_option("--load-sizes", options.load_sizes, "GPUs per driver-load row")->delimiter(',');
  app.add_option("--runs", options.runs, "timed runs per mode")->check(CLI::PositiveNumber);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::cerr << "p2pbench: " << e.what() << std::endl;
    return 1;
  }
}
