#include "common/device/pass_record.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "tests/sim/tempdir.h"

namespace {

constexpr timespec kPass = {1767225600, 5000};

const std::vector<GpuPassRecord> kGpus = {
    {"0000:00:05.0", kPass, true, 2, "/etc/qz/vm_p2p_cfg/0000:00:05.0", ""},
    {"0000:00:06.0", kPass, false, 0, "", "minor file /x/minor: No such file or directory"},
};

constexpr char kText[] =
    "p2pwatch status 1\n"
    "pass 1767225600.000005000\n"
    "gpu\t0000:00:05.0\t1767225600.000005000\tprogrammed\t2\t/etc/qz/vm_p2p_cfg/0000:00:05.0\t\n"
    "gpu\t0000:00:06.0\t1767225600.000005000\tfailed\t0\t-\tminor file /x/minor: No such file "
    "or directory\n";

TEST(PassRecordTest, TheTextReadsBackAsWritten) {
  EXPECT_EQ(formatPassRecord(kPass, kGpus), kText);
  const auto record = parsePassRecord(kText);  // every field, as it formats back
  ASSERT_TRUE(record);
  EXPECT_EQ(formatPassRecord(record->first, record->second), kText);
  // A reason stays one line of plain text.
  const std::vector<GpuPassRecord> odd = {{"0000:00:05.0", kPass, false, 0, "", "a\tb\n\033[31mc"}};
  EXPECT_NE(formatPassRecord(kPass, odd).find("\t-\ta b c\n"), std::string::npos);
}

TEST(PassRecordTest, AnythingButAWellFormedRecordIsRefusedSayingWhy) {
  const std::string good = kText;
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    return text.replace(text.find(from), from.size(), to);
  };
  const std::pair<std::string, std::string> cases[] = {
      {"", "empty"},
      {good.substr(0, good.size() - 1), "truncated"},
      {"p2pwatch status 1\n", "truncated"},
      {replaced("status 1", "status 7"), "unknown format version 7"},
      {replaced("status 1", "status 1\033[2J"), "not a record of p2pwatch"},
      {replaced("status 1", "status 123456789"), "unknown format version 123456789"},
      {replaced("status 1", "status 1234567890"), "not a record of p2pwatch"},
      {std::string("\x7f"
                   "ELF\x02\x01\x01\0\n",
                   9),
       "not a record of p2pwatch"},
      {replaced("pass 1767225600.000005000", "pass 1767225600.5"), "line 2 is malformed"},
      {replaced("\tprogrammed\t", "\tdone\t"), "line 3 is malformed"},
      {replaced("\t2\t", "\t-2\t"), "line 3 is malformed"},
      {replaced("0000:00:05.0\t", "0000:00:5.0\t"), "line 3 is malformed"},
      {replaced("\t-\t", "\t\t"), "line 4 is malformed"},
      {replaced("\tminor file", "\tminor\tfile"), "line 4 is malformed"}};
  for (const auto& [text, why] : cases) {
    std::string problem;
    EXPECT_FALSE(parsePassRecord(text, &problem)) << text;
    EXPECT_EQ(problem, why) << text;
  }
  EXPECT_TRUE(parsePassRecord("p2pwatch status 1\npass 0.000000000\n"));  // no GPU bound
}

TEST(PassRecordTest, WrittenWholeWithItsModesWhateverTheUmask) {
  const sim::TempDir run("p2p-run");
  const std::string path = run / "p2pwatch/status";
  const mode_t saved = umask(077);
  const bool made = writePassRecord(kPass, {}, path);  // the directory is made
  const bool replaced = writePassRecord(kPass, kGpus, path);
  umask(saved);
  ASSERT_TRUE(made && replaced);
  struct stat file {
  }, dir{};
  ASSERT_EQ(stat(path.c_str(), &file), 0);
  ASSERT_EQ(stat((run / "p2pwatch").c_str(), &dir), 0);
  EXPECT_EQ(file.st_mode & 07777, 0644u);
  EXPECT_EQ(dir.st_mode & 07777, 0755u);
  EXPECT_EQ(sim::readFile(path), kText);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(run / "p2pwatch"), {}), 1);
  EXPECT_EQ(formatPassRecord(kPass, readPassRecord(path).record->second), kText);
}

// What -s is told of a record that cannot be used, at the limit of its size.
TEST(PassRecordTest, ReadingNamesWhatKeepsARecordFromUse) {
  const sim::TempDir run("p2p-run");
  run.write("largest", "p2pwatch status 1\npass 0.000000000\n" + std::string(1048540, ' ') + "\n");
  run.write("larger", sim::readFile(run / "largest") + " ");
  const struct {
    const char* name;
    int error;
    const char* problem;
  } cases[] = {{"none", ENOENT, ""},
               {"largest", 0, "line 3 is malformed"},  // read whole: its size is allowed
               {"larger", 0, "larger than 1048576 bytes"}};
  for (const auto& c : cases) {
    const PassRecordRead read = readPassRecord(run / c.name);
    EXPECT_FALSE(read.record) << c.name;
    EXPECT_EQ(read.error, c.error) << c.name;
    EXPECT_EQ(read.problem, c.problem) << c.name;
  }
}

}  // namespace
