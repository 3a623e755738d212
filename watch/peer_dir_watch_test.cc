#include "watch/peer_dir_watch.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "common/util/scoped.h"
#include "tests/sim/tempdir.h"
#include "watch/watch.h"

namespace {

namespace fs = std::filesystem;

// Feeds every queued event to the watch; true when one of them asks for a pass.
bool passWanted(int inotify, PeerDirWatch& watch) {
  alignas(inotify_event) char buffer[kEventBufferSize];
  bool wanted = false;
  for (pollfd fd = {inotify, POLLIN, 0}; poll(&fd, 1, 0) > 0;) {
    const ssize_t length = read(inotify, buffer, sizeof buffer);
    if (length <= 0) break;
    forEachEvent(buffer, static_cast<size_t>(length),
                 [&](const inotify_event& event) { wanted = watch.onEvent(event) || wanted; });
  }
  return wanted;
}

TEST(PeerDirWatchTest, StoredFilesRunAPassAlsoInDirectoriesMadeLater) {
  const sim::TempDir root("p2p-etc");
  const std::string qz = root / "qz", dir = root / "qz/vm_p2p_cfg";
  const auto write = [](const std::string& path) { std::ofstream(path) << "x"; };
  const struct {
    const char* step;
    std::function<void()> action;
    bool pass;
    std::string watched;
  } steps[] = {
      {"start", [] {}, false, root.path()},
      {"another directory", [&] { fs::create_directory(root / "other"); }, false, root.path()},
      {"its parent", [&] { fs::create_directory(qz); }, false, qz},
      {"the directory", [&] { fs::create_directory(dir); }, true, dir},
      {"a file written", [&] { write(dir + "/0000:00:05.0"); }, true, dir},
      {"a temporary file", [&] { write(dir + "/.peer-x"); }, false, dir},
      {"renamed in", [&] { fs::rename(dir + "/.peer-x", dir + "/0000:00:06.0"); }, true, dir},
      {"the directory gone", [&] { fs::remove_all(dir); }, false, qz},
      {"back with its file at once",
       [&] {
         fs::create_directory(dir + ".new");
         write(dir + ".new/0000:00:05.0");
         fs::rename(dir + ".new", dir);
       },
       true, dir},
  };
  ScopedFd inotify(inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  ASSERT_TRUE(inotify.valid());
  PeerDirWatch watch(inotify.get(), dir + "/");
  EXPECT_FALSE(watch.arm());
  for (const auto& s : steps) {
    s.action();
    EXPECT_EQ(passWanted(inotify.get(), watch), s.pass) << s.step;
    EXPECT_EQ(watch.watched(), s.watched) << s.step;
  }
}

}  // namespace
