// Host side: each grouped GPU's exchange area written into its memory window,
// as planTables plans it and applyTables applies it (tool/plan/).
#include "tool/exchange.h"
#include "tool/plan/apply.h"
#include "tool/plan/planners.h"

void output_base_addr(const GroupMap& real_host_map,
                      const std::set<std::filesystem::path>& gpu_bus_path_set) {
  applyTables(planTables(real_host_map, gpu_bus_path_set, true));
}
