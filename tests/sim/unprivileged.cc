#include "tests/sim/unprivileged.h"

#include <filesystem>
#include <fstream>
#include <regex>

namespace sim {
namespace {

namespace fs = std::filesystem;

constexpr fs::perms kDirMode = fs::perms::owner_all | fs::perms::group_read |
                               fs::perms::group_exec | fs::perms::others_read |
                               fs::perms::others_exec;
constexpr fs::perms kWindowMode = fs::perms::owner_read | fs::perms::owner_write;

// The first bytes of the function's config, as many as such a user may read.
void layConfig(const fs::path& from, const fs::path& to) {
  std::ifstream in(from / "config", std::ios::binary);
  if (!in) return;  // a bare directory stays bare
  char bytes[kUnprivilegedConfigBytes];
  in.read(bytes, sizeof bytes);
  std::ofstream(to / "config", std::ios::binary).write(bytes, in.gcount());
}

void layWindows(const fs::path& from, const fs::path& to) {
  static const std::regex kWindow("resource[0-9]+");
  for (const auto& entry : fs::directory_iterator(from)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || !std::regex_match(name, kWindow)) continue;
    std::ofstream(to / name).flush();
    fs::permissions(to / name, kWindowMode);
  }
}

}  // namespace

void layUnprivilegedView(const Fabric& fabric, const std::string& upper) {
  fs::permissions(upper, kDirMode);
  for (const auto& bdf : fabric.functions()) {
    const fs::path from = fabric.dir(bdf);
    const fs::path to = fs::path(upper) / fs::relative(from, fabric.sysDir());
    fs::create_directories(to);
    for (fs::path dir = to; dir != fs::path(upper); dir = dir.parent_path())
      fs::permissions(dir, kDirMode);  // whatever the umask, every user may enter
    layConfig(from, to);
    layWindows(from, to);
  }
}

}  // namespace sim
