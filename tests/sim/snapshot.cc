#include "tests/sim/snapshot.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "common/util/scoped.h"

namespace sim {
namespace {

namespace fs = std::filesystem;

constexpr size_t kReadBlock = 65536;
constexpr mode_t kPermissionBits = 0777;
constexpr mode_t kDirMode = 0755;
constexpr char kSys[] = "sys";
constexpr char kMeta[] = "meta";
constexpr char kReport[] = "meta/status.json";
// Trees an archive may hold besides sys/ and meta/, as components: the
// guest's files, and the CPU's (proc/cpuinfo, for Sandbox::cpuinfo).
const std::vector<std::vector<std::string>> kGuestTrees = {
    {"etc", "qz", "vm_p2p_cfg"}, {"run", "p2pwatch"}, {"proc"}};
constexpr const char* kMadeDirs[] = {"etc", "run"};  // what the sandbox mounts, even empty
constexpr char kMiB[] = " MiB";

using ArchivePtr = std::unique_ptr<archive, int (*)(archive*)>;
using Parts = std::vector<std::string>;

struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

ArchivePtr openArchive(const std::string& path) {
  ArchivePtr a(archive_read_new(), archive_read_free);
  archive_read_support_filter_gzip(a.get());
  archive_read_support_format_tar(a.get());
  if (archive_read_open_filename(a.get(), path.c_str(), kReadBlock) != ARCHIVE_OK)
    throw Refusal(std::string("cannot read it: ") + archive_error_string(a.get()));
  // The end of a gzip stream is the end of the archive: a tar cut at a member
  // boundary would look whole.
  if (archive_filter_code(a.get(), 0) != ARCHIVE_FILTER_GZIP) throw Refusal("not gzip-compressed");
  return a;
}

// Calls visit(entry) for every member; a damaged or truncated archive throws.
void forEachMember(archive* a, const std::function<void(archive_entry*)>& visit) {
  archive_entry* entry = nullptr;
  for (int rc; (rc = archive_read_next_header(a, &entry)) != ARCHIVE_EOF;) {
    if (rc != ARCHIVE_OK)
      throw Refusal(std::string("damaged or truncated: ") + archive_error_string(a));
    visit(entry);
  }
}

// Reads a member's data blocks: visit(offset, bytes, length).
void forEachBlock(archive* a, const std::function<void(int64_t, const char*, size_t)>& visit) {
  const void* block = nullptr;
  size_t length = 0;
  la_int64_t offset = 0;
  for (int rc; (rc = archive_read_data_block(a, &block, &length, &offset)) != ARCHIVE_EOF;) {
    if (rc != ARCHIVE_OK)
      throw Refusal(std::string("damaged or truncated: ") + archive_error_string(a));
    visit(offset, static_cast<const char*>(block), length);
  }
}

Parts split(const std::string& text) {
  Parts parts;
  size_t start = 0;
  for (size_t slash; (slash = text.find('/', start)) != std::string::npos; start = slash + 1)
    parts.push_back(text.substr(start, slash - start));
  parts.push_back(text.substr(start));
  return parts;
}

// The components of a member's name; a name that could leave the tree throws.
Parts nameParts(const std::string& name) {
  if (name.empty()) throw Refusal("an empty name");
  if (name[0] == '/') throw Refusal("an absolute name");
  Parts parts = split(name);
  while (parts.size() > 1 && parts.back().empty()) parts.pop_back();  // "dir/"
  for (const std::string& part : parts)
    if (part.empty() || part == "." || part == "..") throw Refusal("\"" + part + "\" in its name");
  return parts;
}

bool within(const Parts& parts, const Parts& tree) {
  for (size_t i = 0; i < parts.size() && i < tree.size(); ++i)
    if (parts[i] != tree[i]) return false;
  return true;
}

// Where a member may be: below sys/, directly in meta/, in the guest trees.
void checkPlace(const Parts& parts, mode_t type) {
  if (type == AE_IFLNK && (parts[0] != kSys || parts.size() < 2))
    throw Refusal("a link outside sys/");
  if (parts[0] == kSys) return;
  if (parts[0] == kMeta && (parts.size() == 1 || (parts.size() == 2 && type == AE_IFREG))) return;
  for (const Parts& tree : kGuestTrees)
    if (within(parts, tree) && (parts.size() > tree.size() || type == AE_IFDIR)) return;
  throw Refusal("not part of a snapshot's layout");
}

// A link target climbs with leading ".." only, then names, and stays in sys/.
void checkTarget(const Parts& link, const std::string& target) {
  if (target.empty() || target[0] == '/') throw Refusal("a link to an absolute or empty target");
  size_t ups = 0;
  const Parts parts = split(target);
  while (ups < parts.size() && parts[ups] == "..") ++ups;
  for (size_t i = ups; i < parts.size(); ++i)
    if (parts[i].empty() || parts[i] == "." || parts[i] == "..")
      throw Refusal("a link whose target \"" + target + "\" is not plain");
  if (ups + 2 > link.size() || ups == parts.size())
    throw Refusal("a link whose target \"" + target + "\" leaves sys/");
}

const char* typeName(mode_t type) {
  switch (type) {
    case AE_IFCHR:
      return "a character device";
    case AE_IFBLK:
      return "a block device";
    case AE_IFIFO:
      return "a FIFO";
    case AE_IFSOCK:
      return "a socket";
  }
  return "of an unknown type";
}

uint64_t dataBytes(archive_entry* entry) {
  if (archive_entry_sparse_reset(entry) == 0)
    return static_cast<uint64_t>(archive_entry_size(entry));
  uint64_t total = 0;
  la_int64_t offset = 0, length = 0;
  while (archive_entry_sparse_next(entry, &offset, &length) == ARCHIVE_OK)
    total += static_cast<uint64_t>(length);
  return total;
}

// "16 MiB", or the bytes of an amount that is no whole number of MiB.
std::string amount(uint64_t bytes) {
  if (bytes % (uint64_t{1} << 20) != 0) return std::to_string(bytes) + " bytes";
  return std::to_string(bytes >> 20) + kMiB;
}

// The member's components after every check that needs no file; `declared`
// gets its bytes of data.
Parts checkMember(archive_entry* entry, const SnapshotLimits& limits, uint64_t& total,
                  uint64_t& declared) {
  const Parts parts = nameParts(archive_entry_pathname(entry));
  const mode_t type = archive_entry_filetype(entry);
  if (archive_entry_hardlink(entry)) throw Refusal("a hard link");
  if (type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK) throw Refusal(typeName(type));
  checkPlace(parts, type);
  if (type == AE_IFLNK) checkTarget(parts, archive_entry_symlink(entry));
  if (type != AE_IFREG) return parts;
  declared = dataBytes(entry);
  if (archive_entry_size(entry) < 0 || declared > limits.member_data)
    throw Refusal("more than " + amount(limits.member_data) + " of data");
  if ((total += declared) > limits.total_data)
    throw Refusal("more than " + amount(limits.total_data) + " of data in all");
  return parts;
}

[[noreturn]] void failed(const std::string& what) { throw Refusal(what + ": " + strerror(errno)); }

// The directory that holds the member, made as needed, each component opened
// without following a link.
ScopedFd openParent(int root, const Parts& parts) {
  ScopedFd dir(::dup(root));
  for (size_t i = 0; i + 1 < parts.size(); ++i) {
    if (::mkdirat(dir.get(), parts[i].c_str(), kDirMode) != 0 && errno != EEXIST)
      failed("cannot make " + parts[i]);
    ScopedFd next(
        ::openat(dir.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!next.valid()) failed(parts[i] + " is no directory of its own");
    dir = std::move(next);
  }
  return dir;
}

void writeFile(archive* a, archive_entry* entry, int parent, const std::string& name,
               uint64_t declared) {
  ScopedFd file(
      ::openat(parent, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) failed("cannot create it");
  const auto size = static_cast<uint64_t>(archive_entry_size(entry));
  uint64_t written = 0;
  forEachBlock(a, [&](int64_t offset, const char* bytes, size_t length) {
    if (offset < 0 || static_cast<uint64_t>(offset) + length > size ||
        (written += length) > declared)
      throw Refusal("data beyond what its header declares");
    if (::pwrite(file.get(), bytes, length, offset) != static_cast<ssize_t>(length))
      failed("cannot write it");
  });
  const timespec times[2] = {{0, UTIME_OMIT},
                             {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)}};
  if (::ftruncate(file.get(), static_cast<off_t>(size)) != 0 ||
      ::fchmod(file.get(), archive_entry_perm(entry) & kPermissionBits) != 0 ||
      ::futimens(file.get(), times) != 0)
    failed("cannot complete it");
}

void makeDirectory(int parent, const std::string& name) {
  struct stat st {};
  if (::mkdirat(parent, name.c_str(), kDirMode) == 0) return;
  if (errno != EEXIST || ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISDIR(st.st_mode))
    failed("cannot make it");
}

void extractMember(archive* a, archive_entry* entry, int root, const SnapshotLimits& limits,
                   uint64_t& total) {
  uint64_t declared = 0;
  const Parts parts = checkMember(entry, limits, total, declared);
  const ScopedFd parent = openParent(root, parts);
  switch (archive_entry_filetype(entry)) {
    case AE_IFDIR:
      return makeDirectory(parent.get(), parts.back());
    case AE_IFLNK:
      if (::symlinkat(archive_entry_symlink(entry), parent.get(), parts.back().c_str()) != 0)
        failed("cannot make the link");
      return;
    default:
      return writeFile(a, entry, parent.get(), parts.back(), declared);
  }
}

// Makes `dir` when missing; refuses one that holds anything. True when made.
bool prepare(const std::string& dir) {
  std::error_code ec;
  if (!fs::exists(dir, ec)) return fs::create_directories(dir);
  if (!fs::is_directory(dir) || !fs::is_empty(dir))
    throw std::runtime_error(dir + ": not an empty directory");
  return false;
}

void empty(const std::string& dir, bool made) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) fs::remove_all(entry.path(), ec);
  if (made) fs::remove(dir, ec);
}

size_t extract(const std::string& archive_path, const std::string& dir,
               const SnapshotLimits& limits) {
  const ArchivePtr a = openArchive(archive_path);
  const ScopedFd root(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root.valid()) failed(dir);
  size_t members = 0;
  uint64_t total = 0;
  bool report = false;
  forEachMember(a.get(), [&](archive_entry* entry) {
    const std::string name = archive_entry_pathname(entry);
    try {
      extractMember(a.get(), entry, root.get(), limits, total);
    } catch (const Refusal& e) {
      throw Refusal("member " + name + ": " + e.what());
    }
    report = report || name == kReport;
    ++members;
  });
  if (!report)
    throw Refusal(std::string("no ") + kReport + ": not a snapshot of p2ptool --collect");
  for (const char* made : kMadeDirs) makeDirectory(root.get(), made);
  return members;
}

}  // namespace

size_t replaySnapshot(const std::string& archive_path, const std::string& dir,
                      const SnapshotLimits& limits) {
  const bool made = prepare(dir);
  try {
    return extract(archive_path, dir, limits);
  } catch (const std::exception& e) {
    empty(dir, made);
    throw std::runtime_error(archive_path + ": refused: " + e.what());
  }
}

std::map<std::string, ArchivedMember> readSnapshot(const std::string& archive_path) {
  const ArchivePtr a = openArchive(archive_path);
  std::map<std::string, ArchivedMember> members;
  forEachMember(a.get(), [&](archive_entry* entry) {
    ArchivedMember& member = members[archive_entry_pathname(entry)];
    const mode_t type = archive_entry_filetype(entry);
    member.type = type == AE_IFREG ? 'f' : type == AE_IFDIR ? 'd' : type == AE_IFLNK ? 'l' : '?';
    member.mode = archive_entry_perm(entry) & kPermissionBits;
    member.mtime = archive_entry_mtime(entry);
    member.size = static_cast<uint64_t>(archive_entry_size(entry));
    if (type == AE_IFLNK) member.target = archive_entry_symlink(entry);
    forEachBlock(a.get(), [&](int64_t offset, const char* bytes, size_t length) {
      const auto at = static_cast<uint64_t>(offset);
      auto last = member.data.empty() ? member.data.end() : std::prev(member.data.end());
      if (last != member.data.end() && last->first + last->second.size() == at)
        last->second.append(bytes, length);
      else
        member.data[at].assign(bytes, length);
    });
  });
  return members;
}

}  // namespace sim
