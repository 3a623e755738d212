#include "common/device/board_topology.h"

#include <libgen.h>
#include <limits.h>
#include <stdlib.h>

#include <filesystem>

#include "common/device/enumeration.h"

namespace fs = std::filesystem;

namespace {

// GPUs of one board hang below one bridge: the ancestor this many levels up.
constexpr int kBoardAncestorLevels = 4;
constexpr size_t kResolvedPathSize = 4096;

fs::path boardAncestor(const std::string& bdf) {
  fs::path ancestor = fs::canonical(fs::path(std::string(kSysPciDevices) + bdf));
  for (int level = 0; level < kBoardAncestorLevels; ++level) ancestor = ancestor.parent_path();
  return ancestor;
}

}  // namespace

std::string getTr240LastBoardSwitchPath(std::string bdf) {
  static_assert(kResolvedPathSize >= PATH_MAX, "realpath needs PATH_MAX bytes");
  const std::string link = std::string(kSysPciDevices) + bdf;
  char resolved[kResolvedPathSize];
  if (!realpath(link.c_str(), resolved)) return "";
  // dirname works in place (or returns a static "/" or "."); each step takes the last result.
  char* ancestor = resolved;
  for (int level = 0; level < kBoardAncestorLevels; ++level) ancestor = dirname(ancestor);
  return ancestor;
}

bool chipSameBoard(std::string bdf_a, std::string bdf_b) {
  const std::string second = getTr240LastBoardSwitchPath(bdf_b);
  const std::string first = getTr240LastBoardSwitchPath(bdf_a);
  return first == second;
}

bool onSameBoard(std::string bdf_a, std::string bdf_b) {
  return boardAncestor(bdf_a).filename() == boardAncestor(bdf_b).filename();
}
