#include "tool/collect/archive_writer.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <memory>

namespace {

constexpr const char* kGzipOptions = "gzip:!timestamp";
constexpr size_t kZeroChunk = 65536;

using ArchivePtr = std::unique_ptr<archive, int (*)(archive*)>;
using EntryPtr = std::unique_ptr<archive_entry, void (*)(archive_entry*)>;

EntryPtr makeEntry(const std::string& path, const Member& member) {
  EntryPtr entry(archive_entry_new(), archive_entry_free);
  archive_entry_set_pathname(entry.get(), path.c_str());
  archive_entry_set_perm(entry.get(), member.mode);
  archive_entry_set_uid(entry.get(), 0);
  archive_entry_set_gid(entry.get(), 0);
  archive_entry_set_mtime(entry.get(), member.mtime.tv_sec, member.mtime.tv_nsec);
  switch (member.type) {
    case Member::Type::kDirectory:
      archive_entry_set_filetype(entry.get(), AE_IFDIR);
      break;
    case Member::Type::kSymlink:
      archive_entry_set_filetype(entry.get(), AE_IFLNK);
      archive_entry_set_symlink(entry.get(), member.target.c_str());
      break;
    case Member::Type::kFile:
      archive_entry_set_filetype(entry.get(), AE_IFREG);
      archive_entry_set_size(entry.get(), static_cast<la_int64_t>(member.size));
      for (const auto& [offset, bytes] : member.data)
        archive_entry_sparse_add_entry(entry.get(), static_cast<la_int64_t>(offset),
                                       static_cast<la_int64_t>(bytes.size()));
      break;
  }
  return entry;
}

bool writeAll(archive* a, const char* bytes, size_t length) {
  return length == 0 || archive_write_data(a, bytes, length) == static_cast<la_ssize_t>(length);
}

// The file's bytes in order; holes before data are given as zeros, which
// the writer leaves out, and a hole at the end is not given at all.
bool writeData(archive* a, const Member& member) {
  static const char zeros[kZeroChunk] = {};
  uint64_t at = 0;
  for (const auto& [offset, bytes] : member.data) {
    for (; at < offset; at += std::min<uint64_t>(kZeroChunk, offset - at))
      if (!writeAll(a, zeros, std::min<uint64_t>(kZeroChunk, offset - at))) return false;
    if (!writeAll(a, bytes.data(), bytes.size())) return false;
    at = offset + bytes.size();
  }
  return true;
}

std::string failure(archive* a) {
  const char* text = archive_error_string(a);
  return text ? text : "libarchive failed";
}

}  // namespace

std::string writeArchive(const Snapshot& snapshot, int fd) {
  ArchivePtr a(archive_write_new(), archive_write_free);
  if (archive_write_set_format_pax_restricted(a.get()) != ARCHIVE_OK ||
      archive_write_add_filter_gzip(a.get()) != ARCHIVE_OK ||
      archive_write_set_options(a.get(), kGzipOptions) != ARCHIVE_OK ||
      archive_write_open_fd(a.get(), fd) != ARCHIVE_OK)
    return failure(a.get());
  for (const auto& [path, member] : snapshot.members()) {
    const EntryPtr entry = makeEntry(path, member);
    if (archive_write_header(a.get(), entry.get()) != ARCHIVE_OK ||
        (member.type == Member::Type::kFile && !writeData(a.get(), member)))
      return path + ": " + failure(a.get());
  }
  if (archive_write_close(a.get()) != ARCHIVE_OK) return failure(a.get());
  return "";
}
