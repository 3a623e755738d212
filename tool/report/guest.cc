#include "tool/report/guest.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <vector>

#include "common/device/enumeration.h"
#include "common/device/exchange_area.h"
#include "common/device/guest_claims.h"
#include "common/device/peer_file.h"
#include "common/device/tamberon_driver.h"
#include "common/util/paths.h"
#include "tool/window_table.h"

namespace {

constexpr const char* kDriverLink = "/driver";

// The window's table as the peer file holds it: word 0 cut to the self field.
std::vector<uint64_t> asPeerWords(const WindowTable& table) {
  std::vector<uint64_t> words = table.words;
  words[0] = areaSelf(words[0]);
  return words;
}

void readWindow(const WindowTable& table, GuestGpu& gpu) {
  gpu.table_words = table.count();
  gpu.window_reason = table.reason;
  switch (table.shape) {
    case TableShape::kWellFormed:
      gpu.window = WindowState::kTable;
      break;
    case TableShape::kNone:
      gpu.window = WindowState::kNone;
      break;
    case TableShape::kMalformed:
      gpu.window = WindowState::kMalformed;
      break;
    case TableShape::kUnreadable:
      gpu.window = WindowState::kUnreadable;
      break;
  }
}

PeerState peerState(const PeerFileLoad& load) {
  if (load.file) return PeerState::kWellFormed;
  if (!load.found) return PeerState::kNone;
  if (load.error) return PeerState::kUnreadable;  // opened or read
  return load.regular ? PeerState::kMalformed : PeerState::kNotAFile;
}

// The peer file as p2pwatch loads it, compared with the window's table.
void readPeer(const std::string& bdf, const WindowTable& table, GuestGpu& gpu) {
  const PeerFileLoad load = loadPeerFile(bdf);
  gpu.peer_state = peerState(load);
  gpu.peer = load.file;
  if (gpu.peer_state == PeerState::kUnreadable) gpu.peer_reason = readFailure(load.error);
  if (gpu.peer && gpu.window == WindowState::kTable) {
    const std::vector<uint64_t> expected = asPeerWords(table);
    gpu.peer_matches = std::equal(gpu.peer->words.begin(), gpu.peer->words.end(), expected.begin(),
                                  expected.end());
  }
  if (load.regular) gpu.peer_modified = load.modified;
}

// The first word of the minor file, as p2pwatch reads it.
void readMinor(const std::string& bdf, GuestGpu& gpu) {
  const MinorFile file = readMinorFile(bdf);
  if (file.read) {
    if (!file.word.empty()) gpu.minor = file.word;
  } else if (file.error != ENOENT) {
    gpu.minor_reason = openFailure(file.error);
  }
}

void readDriver(const std::string& bdf, GuestGpu& gpu) {
  std::error_code ec;
  const auto link = std::filesystem::read_symlink(kSysPciDevices + bdf + kDriverLink, ec);
  if (ec) return;
  gpu.driver = link.filename().string();
  if (gpu.driver == kDriverName) readMinor(bdf, gpu);
}

bool later(const timespec& a, const timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// What the record says of the GPU, and whether its peer file changed since.
void readPass(const std::string& bdf, const PassRecordRead& read, GuestGpu& gpu) {
  const std::optional<PassRecord>& record = read.record;
  if (!record) {
    if (read.error != 0 && read.error != ENOENT)
      gpu.pass = {PassState::kUnreadable, {}, 0, readFailure(read.error)};
    else if (!read.problem.empty())
      gpu.pass = {PassState::kBroken, {}, 0, read.problem};
    return;
  }
  const auto& gpus = record->second;
  const auto entry = std::find_if(gpus.begin(), gpus.end(),
                                  [&](const GpuPassRecord& pass) { return pass.bdf == bdf; });
  gpu.pass.time = record->first;
  gpu.pass.state = PassState::kNotInRecord;
  if (entry != gpus.end()) {
    gpu.pass.state = entry->programmed ? PassState::kProgrammed : PassState::kFailed;
    gpu.pass.time = entry->time;
    gpu.pass.lines = entry->lines;
    gpu.pass.reason = entry->reason;
  }
  timespec now{};  // after the record was read
  ::clock_gettime(CLOCK_REALTIME, &now);
  gpu.pass.future = later(gpu.pass.time, now);
  const bool opened =
      gpu.peer_state == PeerState::kWellFormed || gpu.peer_state == PeerState::kMalformed;
  if (opened) gpu.peer_newer = later(gpu.peer_modified, gpu.pass.time);
}

}  // namespace

GuestGpu guestGpu(const std::string& bdf, const WindowTable& table, const PassRecordRead& read) {
  GuestGpu gpu;
  gpu.bdf = bdf;
  readWindow(table, gpu);
  readPeer(bdf, table, gpu);
  readDriver(bdf, gpu);
  readPass(bdf, read, gpu);
  return gpu;
}

void markConflicts(std::vector<GuestGpu>& gpus) {
  std::map<std::string, std::string> minors;
  for (const auto& gpu : gpus)
    if (gpu.driver == kDriverName && gpu.minor && isMinorNumber(*gpu.minor))
      minors[gpu.bdf] = *gpu.minor;
  const SharedClaims minor_conflicts = sharedMinors(minors);
  // As p2pwatch: only the files of GPUs with a minor of their own are read.
  std::map<std::string, uint64_t> selves;
  for (const auto& gpu : gpus)
    if (minors.count(gpu.bdf) && !minor_conflicts.count(gpu.bdf) && gpu.peer)
      selves[gpu.bdf] = gpu.peer->self;
  const SharedClaims host_conflicts = sharedHostGpus(selves);
  for (auto& gpu : gpus)
    for (const SharedClaims* conflicts : {&minor_conflicts, &host_conflicts})
      if (const auto found = conflicts->find(gpu.bdf); found != conflicts->end())
        gpu.conflicts.push_back(found->second);
}
