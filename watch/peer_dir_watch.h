// The watch on the peer configuration directory: a peer file stored there
// (written and closed, or renamed into it, as p2ptool -r does) runs a pass, so
// that files stored after the driver loaded are served without a new node.
// The directory and its parents may not exist yet (the first p2ptool -r makes
// them): the nearest existing ancestor is watched for the next component's
// creation, and the watch moves down as they appear (and back up should the
// directory go).
#pragma once

#include <sys/inotify.h>

#include <string>

class PeerDirWatch {
 public:
  // Watches `dir` (an absolute path) through the inotify instance `inotify`.
  PeerDirWatch(int inotify, std::string dir);
  PeerDirWatch(const PeerDirWatch&) = delete;
  PeerDirWatch& operator=(const PeerDirWatch&) = delete;

  // Sets the watch on the directory, or on its nearest existing ancestor.
  // True when the directory itself is watched.
  bool arm();
  // True when `event`, read from the instance, should run a pass: a peer file
  // (a name with ':') stored in the directory, or the directory reached
  // (files may have come with it). Moves the watch as directories come and go.
  bool onEvent(const inotify_event& event);
  // The path watched now (the directory or an ancestor); empty when none.
  const std::string& watched() const { return watched_; }

 private:
  int inotify_;
  std::string dir_;
  std::string watched_;
  int wd_ = -1;
};
