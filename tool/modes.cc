#include "tool/modes.h"

#include <fcntl.h>

#include <vector>

#include "tool/plan/apply.h"
#include "tool/plan/planners.h"
#include "tool/undone.h"

void initPCIeDevice(bool force) {
  std::vector<SkippedFunction> skipped;  // each after a message of its own
  planEachGpu(force, true, O_RDWR, skipped, applyGpuWords);
  if (!skipped.empty()) leaveUndone();
}

void close_acs_bdf(std::set<std::string> ports) { applyPorts(planPorts(ports, true)); }

void output_base_addr(const GroupMap& real_host_map,
                      const std::set<std::filesystem::path>& gpu_bus_path_set) {
  applyTables(planTables(real_host_map, gpu_bus_path_set, true));
}

void VM_SaveMemoryDataToFile(const GroupMap& /*real_host_map*/,
                             const std::set<std::filesystem::path>& gpu_bus_path_set) {
  applyPeerFiles(planPeerFiles(gpu_bus_path_set, true));
}
