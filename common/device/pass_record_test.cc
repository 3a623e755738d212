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

TEST(PassRecordTest, AnythingButAWellFormedRecordIsRefused) {
  const std::string good = kText;
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    return text.replace(text.find(from), from.size(), to);
  };
  for (const std::string& text :
       {std::string(), good.substr(0, good.size() - 1), replaced("status 1", "status 2"),
        replaced("pass 1767225600.000005000", "pass 1767225600.5"),
        replaced("\tprogrammed\t", "\tdone\t"), replaced("\t2\t", "\t-2\t"),
        replaced("0000:00:05.0\t", "0000:00:5.0\t"), replaced("\t-\t", "\t\t"),
        replaced("\tminor file", "\tminor\tfile")})
    EXPECT_FALSE(parsePassRecord(text)) << text;
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
  EXPECT_EQ(formatPassRecord(kPass, readPassRecord(path)->second), kText);
  ASSERT_EQ(mkfifo((run / "fifo").c_str(), 0644), 0);
  int error = -1;
  EXPECT_FALSE(readPassRecord(run / "fifo", &error));  // never blocks
  EXPECT_EQ(error, 0);
  EXPECT_FALSE(readPassRecord(run / "none", &error));
  EXPECT_EQ(error, ENOENT);
}

}  // namespace
