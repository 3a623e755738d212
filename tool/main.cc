// p2ptool: finds the GPUs, groups them by the switch above them, then either
// switches ACS off on the switch ports (default), writes every GPU's exchange
// area into its memory window (-w, host) or stores the areas as peer
// configuration files (-r, guest).
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <filesystem>

#include "tool/acs.h"
#include "tool/containers.h"
#include "tool/discovery.h"
#include "tool/exchange.h"
#include "tool/topology.h"

namespace {

constexpr const char* kDescription = "Tamberon Zorva Related Pcie Tool.";

struct Options {
  bool write = false;
  bool read = false;
};

void setupOptions(CLI::App& app, Options& options) {
  app.add_flag("-w, --write", options.write, "Write data to base reg0.");
  app.add_flag("-r, --read", options.read, "Read HBM data and write data to vm_p2p_cfg.");
}

int run(const Options& options) {
  if (geteuid() != 0) {
    printf("Requires root privileges.\n");
    return -1;
  }
  initPCIeDevice();
  get_phy_mach_data(gpu_bus_path_set);
  if (options.write)
    output_base_addr(real_host_map, gpu_bus_path_set);
  else if (options.read)
    VM_SaveMemoryDataToFile(real_host_map, gpu_bus_path_set);
  else
    close_acs_bdf(acs_need_down_switch_name_set);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Messages interleave with the output of the commands we start.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    CLI::App app{kDescription, ""};
    Options options;
    setupOptions(app, options);
    try {
      app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
      return app.exit(e);
    }
    return run(options);
  } catch (const std::filesystem::filesystem_error& e) {
    fprintf(stderr, "Error: cannot read the PCI device tree: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    fprintf(stderr, "Error: %s\n", e.what());
    return 1;
  }
}
