#include "tool/collect/guest_files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "common/device/exchange_area.h"
#include "common/device/pass_record.h"
#include "common/device/pci_address.h"
#include "tool/role/evidence.h"

namespace fs = std::filesystem;

namespace {

// Whether `path` is there; what keeps it from being looked at is noted.
bool present(Snapshot& snapshot, const std::string& path, struct stat& st) {
  if (::stat(path.c_str(), &st) == 0) return true;
  if (errno != ENOENT) snapshot.notCollected(path, strerror(errno));
  return false;
}

void gatherPeerFiles(Snapshot& snapshot) {
  struct stat st {};
  if (!present(snapshot, kPeerConfigDir, st)) return;
  if (!S_ISDIR(st.st_mode)) return snapshot.notCollected(kPeerConfigDir, "not a directory");
  snapshot.addDirectory(memberPath(kPeerConfigDir), st.st_mode);
  std::error_code ec;
  for (fs::directory_iterator entry(kPeerConfigDir, ec), end; !ec && entry != end;
       entry.increment(ec))
    if (isPciAddress(entry->path().filename().string()))
      copyFile(snapshot, entry->path().string(), true);
  if (ec) snapshot.notCollected(kPeerConfigDir, ec.message());
}

// The first processor's block: the flags of one tell, the rest only repeat them.
void gatherCpuInfo(Snapshot& snapshot) {
  const FileRead file = readSmallFile(kCpuInfo, kSmallFileLimit);
  if (!file.read) return snapshot.notCollected(kCpuInfo, file.reason);
  const size_t end = file.bytes.find("\n\n");
  snapshot.addFile(memberPath(kCpuInfo),
                   end == std::string::npos ? file.bytes : file.bytes.substr(0, end + 2),
                   file.status.st_mode);
}

void gatherRecord(Snapshot& snapshot) {
  struct stat st {};
  if (present(snapshot, kPassRecordFile, st)) copyFile(snapshot, kPassRecordFile, true);
}

}  // namespace

void gatherGuestFiles(Snapshot& snapshot) {
  gatherPeerFiles(snapshot);
  gatherRecord(snapshot);
  gatherCpuInfo(snapshot);
}
