#include "tests/sim/snapshot.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>

#include <filesystem>
#include <fstream>
#include <memory>

#include "tests/sim/tempdir.h"

namespace {

namespace fs = std::filesystem;

struct Piece {
  std::string name;
  mode_t type = AE_IFREG;
  std::string data{};
  std::string target{};     // of a link
  int64_t size = -1;        // declared size; -1: that of the data. Larger without data: the
                            // archive ends after the header, the data never written
  int64_t hole_before = 0;  // the data at this offset, a hole before it
  int64_t mtime = 0;
};

// What libarchive writes, up to a limit: a write past it fails.
struct Sink {
  std::string bytes;
  size_t limit = SIZE_MAX;
};

la_ssize_t collect(archive* a, void* sink, const void* buffer, size_t length) {
  Sink& to = *static_cast<Sink*>(sink);
  if (to.bytes.size() + length > to.limit) {
    archive_set_error(a, EFBIG, "full");
    return -1;
  }
  to.bytes.append(static_cast<const char*>(buffer), length);
  return static_cast<la_ssize_t>(length);
}

std::string gzipped(const std::string& raw) {
  Sink out;
  std::unique_ptr<archive, int (*)(archive*)> a(archive_write_new(), archive_write_free);
  archive_write_set_format_raw(a.get());
  archive_write_set_bytes_per_block(a.get(), 0);
  archive_write_add_filter_gzip(a.get());
  archive_write_open(a.get(), &out, nullptr, collect, nullptr);
  std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(archive_entry_new(),
                                                             archive_entry_free);
  archive_entry_set_pathname(e.get(), "raw");
  archive_entry_set_filetype(e.get(), AE_IFREG);
  archive_entry_set_size(e.get(), static_cast<la_int64_t>(raw.size()));
  archive_write_header(a.get(), e.get());
  archive_write_data(a.get(), raw.data(), raw.size());
  archive_write_close(a.get());
  return out.bytes;
}

// A pax archive of `pieces`, written with libarchive; a file with a target is
// a hard link to it.
std::string tar(const std::vector<Piece>& pieces) {
  Sink raw{"", size_t{1} << 20};
  std::unique_ptr<archive, int (*)(archive*)> a(archive_write_new(), archive_write_free);
  archive_write_set_format_pax_restricted(a.get());
  archive_write_set_bytes_per_block(a.get(), 0);
  archive_write_open(a.get(), &raw, nullptr, collect, nullptr);
  for (const Piece& piece : pieces) {
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(archive_entry_new(),
                                                               archive_entry_free);
    const int64_t size = piece.size >= 0 ? piece.size : piece.hole_before + piece.data.size();
    archive_entry_set_pathname(e.get(), piece.name.c_str());
    archive_entry_set_filetype(e.get(), piece.type);
    archive_entry_set_perm(e.get(), 0644);
    archive_entry_set_mtime(e.get(), piece.mtime, 0);
    if (piece.type == AE_IFLNK) archive_entry_set_symlink(e.get(), piece.target.c_str());
    if (piece.type == AE_IFREG && !piece.target.empty())
      archive_entry_set_hardlink(e.get(), piece.target.c_str());
    if (piece.type == AE_IFREG) archive_entry_set_size(e.get(), size);
    if (piece.hole_before ||
        (piece.size > static_cast<int64_t>(piece.data.size()) && !piece.data.empty()))
      archive_entry_sparse_add_entry(e.get(), piece.hole_before,
                                     static_cast<la_int64_t>(piece.data.size()));
    archive_write_header(a.get(), e.get());
    if (piece.size > 0 && piece.data.empty()) {  // a header declaring data that never follows:
      archive_write_close(a.get());              // the archive ends within a MiB of zeros
      return raw.bytes;
    }
    const std::string holes(static_cast<size_t>(piece.hole_before), '\0');
    archive_write_data(a.get(), holes.data(), holes.size());
    archive_write_data(a.get(), piece.data.data(), piece.data.size());
  }
  archive_write_close(a.get());
  return raw.bytes;
}

std::string tarGz(const std::vector<Piece>& pieces) { return gzipped(tar(pieces)); }

const Piece kReport = {"meta/status.json", AE_IFREG, "{}\n"};

class SnapshotTest : public testing::Test {
 protected:
  std::string archiveOf(const std::vector<Piece>& pieces, bool gzip = true) {
    std::vector<Piece> all = {kReport};
    all.insert(all.end(), pieces.begin(), pieces.end());
    return files_.write("snapshot.tar.gz", gzip ? tarGz(all) : tar(all));
  }
  // The reason `archive` is refused with, and that nothing is left.
  std::string refusal(const std::string& archive, const sim::SnapshotLimits& limits = {}) {
    std::string reason = "accepted";
    try {
      sim::replaySnapshot(archive, dir_, limits);
    } catch (const std::runtime_error& e) {
      reason = e.what();
    }
    EXPECT_TRUE(fs::is_empty(scratch_.path())) << reason;
    return reason;
  }
  sim::TempDir files_{"p2p-snapshot-files"};
  sim::TempDir scratch_{"p2p-snapshot"};  // holds the replay's directory alone
  std::string dir_ = scratch_ / "replay";
};

TEST_F(SnapshotTest, HostileArchivesAreRefusedAndNothingIsLeft) {
  const std::string outside = scratch_ / "evil";
  const std::string valid = tarGz({kReport, {"sys/devices/a", AE_IFREG, std::string(4096, 'x')}});
  const struct {
    const char* what;
    std::vector<Piece> pieces;
    const char* message;
  } rows[] = {
      {"traversal", {{"sys/../../evil", AE_IFREG, "x"}}, "\"..\" in its name"},
      {"absolute", {{outside, AE_IFREG, "x"}}, "an absolute name"},
      {"link out", {{"sys/out", AE_IFLNK, "", "../../evil"}}, "leaves sys/"},
      {"link just out of sys/", {{"sys/a/out", AE_IFLNK, "", "../../meta"}}, "leaves sys/"},
      {"absolute link", {{"sys/out", AE_IFLNK, "", outside}}, "absolute or empty target"},
      {"through a link",
       {{"sys/devices", AE_IFDIR}, {"sys/l", AE_IFLNK, "", "devices"}, {"sys/l/x", AE_IFREG, "x"}},
       "no directory of its own"},
      {"hard link", {{"sys/a", AE_IFREG, "x"}, {"sys/h", AE_IFREG, "", "sys/a"}}, "a hard link"},
      {"twice", {{"sys/a", AE_IFREG, "x"}, {"sys/a", AE_IFREG, "y"}}, "cannot create it"},
      {"over a link", {{"sys/l", AE_IFLNK, "", "a"}, {"sys/l", AE_IFREG, "y"}}, "cannot create it"},
      {"device", {{"sys/null", AE_IFCHR}}, "a character device"},
      {"10 GiB", {{"sys/big", AE_IFREG, "", "", int64_t{10} << 30}}, "more than 16 MiB of data"},
      {"layout", {{"etc/passwd", AE_IFREG, "x"}}, "not part of a snapshot's layout"},
  };
  for (const auto& row : rows)
    EXPECT_NE(refusal(archiveOf(row.pieces)).find(row.message), std::string::npos) << row.what;
  const std::string cut = files_.write("cut.tar.gz", valid.substr(0, valid.size() / 2));
  EXPECT_NE(refusal(cut).find("truncated"), std::string::npos);
  EXPECT_NE(refusal(archiveOf({}, false)).find("not gzip-compressed"), std::string::npos);
  const std::string no_report = files_.write("other.tar.gz", tarGz({{"sys/a", AE_IFREG, "x"}}));
  EXPECT_NE(refusal(no_report).find("no meta/status.json"), std::string::npos);
  // Two members of 8 bytes: each limit holds at its value exactly.
  const std::string two =
      archiveOf({{"sys/a", AE_IFREG, "12345678"}, {"sys/b", AE_IFREG, "12345678"}});
  EXPECT_NE(refusal(two, {7, 100}).find("member sys/a: more than 7 bytes of data"),
            std::string::npos);
  EXPECT_NE(refusal(two, {8, 18}).find("member sys/b: more than 18 bytes of data in all"),
            std::string::npos);
  EXPECT_EQ(sim::replaySnapshot(two, dir_, {8, 19}), 3u);  // with meta/status.json's 3
}

TEST_F(SnapshotTest, ATreeIsLaidOutWithItsLinksHolesAndTimes) {
  const std::string peer = "etc/qz/vm_p2p_cfg/0000:00:05.0";
  sim::replaySnapshot(archiveOf({{"sys/devices/pci0000:3a/0000:3a:00.0/config", AE_IFREG, "cfg"},
                                 {"sys/bus/pci/devices/0000:3a:00.0", AE_IFLNK, "",
                                  "../../../devices/pci0000:3a/0000:3a:00.0"},
                                 {"sys/r0", AE_IFREG, "area", "", int64_t{10} << 30, 0x200000},
                                 {peer, AE_IFREG, "words", "", -1, 0, 1234567}}),
                      dir_);
  EXPECT_EQ(sim::readFile(dir_ + "/sys/bus/pci/devices/0000:3a:00.0/config"), "cfg");
  struct stat st {};
  ASSERT_EQ(stat((dir_ + "/sys/r0").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, int64_t{10} << 30);
  EXPECT_LT(st.st_blocks * 512, 1 << 20);  // holes stay holes
  ASSERT_EQ(stat((dir_ + "/" + peer).c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1234567);
  EXPECT_TRUE(fs::is_directory(dir_ + "/run") && fs::is_directory(dir_ + "/meta"));
  const auto members = sim::readSnapshot(files_ / "snapshot.tar.gz");
  EXPECT_EQ(members.at("sys/r0").data.at(0x200000), "area");
  EXPECT_THROW(sim::replaySnapshot(files_ / "snapshot.tar.gz", dir_), std::runtime_error);
}

}  // namespace
