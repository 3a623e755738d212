// Replaying a snapshot written by `p2ptool --collect`: its tree becomes a
// fabric directory that the sandbox shows as /sys (DIR/sys), beside DIR/etc
// (the peer files: an /etc overlay's upper directory), DIR/run (p2pwatch's
// record: bound over /run), DIR/proc/cpuinfo (the CPU's flags: bound over
// /proc/cpuinfo) and DIR/meta (what the tool made of the machine, the report
// among it). `p2psim build DIR --from FILE` runs it; `p2psim run --sys DIR`
// then uses DIR/etc, DIR/run and DIR/proc/cpuinfo as well.
//
// The archive comes from elsewhere and is checked member by member before
// anything of it is written: only directories, regular files and symbolic
// links below sys/, meta/, etc/qz/vm_p2p_cfg/, run/p2pwatch/ and proc/; relative
// names without "." or ".."; links (below sys/ only) whose target climbs with
// leading ".." alone and stays inside sys/; at most 16 MiB of data per
// member and 256 MiB in all, holes aside. Every file is opened beneath DIR
// component by component without following a link, so nothing lands
// outside it.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace sim {

struct SnapshotLimits {
  uint64_t member_data = uint64_t{16} << 20;  // bytes of data of one member, holes aside
  uint64_t total_data = uint64_t{256} << 20;  // the same for all members together
};

// Extracts `archive` into `dir`, which is made when missing and must be
// empty. Throws std::runtime_error naming the archive, the member and the
// reason when the archive is refused or cannot be read or written; `dir` is
// then emptied again (and removed when it was made). Returns the number of
// members.
size_t replaySnapshot(const std::string& archive, const std::string& dir,
                      const SnapshotLimits& limits = {});

// A member as the archive holds it.
struct ArchivedMember {
  char type = 'f';     // 'f' file, 'd' directory, 'l' symbolic link, '?' anything else
  unsigned mode = 0;   // permission bits
  int64_t mtime = 0;   // seconds
  uint64_t size = 0;   // of a file, holes included
  std::string target;  // of a link
  std::map<uint64_t, std::string> data;  // of a file: offset -> bytes; holes left out
};

// Every member by name, for tests; throws std::runtime_error when the
// archive cannot be read.
std::map<std::string, ArchivedMember> readSnapshot(const std::string& archive);

}  // namespace sim
