#include "common/device/driver_package.h"

#include <sys/utsname.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/log/qzlogger.h"
#include "common/util/test_boxed_run.h"
#include "tests/sim/fake_command.h"
#include "tests/sim/sandbox.h"
#include "tests/sim/tempdir.h"

namespace fs = std::filesystem;

namespace {

constexpr char kInfo[] = "[     Info]  ";
constexpr char kFatal[] = "[    FATAL]  ";
constexpr char kReinstallStart[] = "Start reinstall zorva from dkms tree. \n";
constexpr char kReinstallDone[] = "Success to reinstall zorva from dkms tree. \n";
constexpr char kRestored[] = "Success to restore file of tamberon.ko. \n";

std::string kernelRelease() {
  struct utsname names;
  return uname(&names) == 0 ? names.release : "";
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A sandbox whose /var/lib, /var/log, /usr/src, /lib/modules, /etc and /sys
// are scratch directories (overlays or binds), with a logging dkms and setpci
// first on PATH. The logger writes every record into a file of the scratch
// directory, so that Info lines can be checked too.
class DriverPackageTest : public testing::Test {
 protected:
  DriverPackageTest() {
    for (const char* dir : {"varlib", "varlog", "usrsrc", "lib", "etc"}) root_.subdir(dir);
  }

  sim::Sandbox box() const {
    sim::Sandbox box = tree_.box();
    box.etc_upper = root_ / "etc";
    box.binds = {{root_ / "varlog", "/var/log"}, {root_ / "usrsrc", "/usr/src"}};
    box.overlays = {{root_ / "varlib", "/var/lib"}, {root_ / "lib", fs::canonical("/lib")}};
    box.path_prepend.insert(box.path_prepend.begin(), dkms_.dir());
    return box;
  }

  BoxedRun run(const std::function<std::string()>& code) const {
    const std::string log = root_ / "qz.log";
    BoxedRun result = runBoxed(box(), [&] {
      qzlogger::init(log.c_str());
      return code();
    });
    EXPECT_EQ(result.status, 0) << result.err;
    return result;
  }

  std::string logged() const { return sim::readFile(root_ / "qz.log"); }
  std::vector<std::string> dkmsCalls() const { return dkms_.calls(); }
  void dkmsFails(const std::string& step, int status) const { dkms_.fail(step, status); }

  // Scratch paths behind the system directories.
  std::string dkmsTree(const std::string& name = "") const {
    return root_ / ("varlib/dkms/zorva/" + name);
  }
  std::string record() const { return root_ / "varlog/dkms.log"; }
  std::string source(const std::string& name) const { return root_.subdir("usrsrc/" + name); }
  std::string misc(const std::string& name = "") const {
    return root_ / ("lib/modules/" + release_ + "/kernel/drivers/misc/" + name);
  }

  FabricBox tree_;
  sim::FakeCommand dkms_{"dkms"};
  sim::TempDir root_{"p2ppkg"};
  std::string release_ = kernelRelease();
};

// --- driver and installed version ---

TEST_F(DriverPackageTest, DriverLoadedWhenItsDirectoryExists) {
  P2P_REQUIRE_SANDBOX();
  const std::string drivers = tree_.fabric.sysDir() + "/bus/pci/drivers";
  fs::create_directories(drivers);
  std::ofstream(drivers + "/tamberon") << "";  // not a directory
  EXPECT_EQ(run([] { return std::to_string(getDriver()); }).result, "0");
  fs::remove(drivers + "/tamberon");
  fs::create_directory(drivers + "/tamberon");
  EXPECT_EQ(run([] { return std::to_string(getDriver()); }).result, "1");
}

struct TreeEntry {
  enum Kind { kDir, kFile, kLink } kind;
  const char* name;
  const char* target;  // of a link, relative to the tree
};

struct VersionRow {
  const char* label;
  std::vector<TreeEntry> entries;
  const char* expected;
};

TEST_F(DriverPackageTest, InstalledVersion) {
  P2P_REQUIRE_SANDBOX();
  const VersionRow rows[] = {
      {"no tree", {}, ""},
      {"version beside a kernel link",
       {{TreeEntry::kDir, "3.1.0/5.15.0/x86_64", nullptr},
        {TreeEntry::kLink, "kernel-5.15.0-x86_64", "3.1.0/5.15.0/x86_64"}},
       "3.1.0"},
      {"link to a directory counts",
       {{TreeEntry::kLink, "3.2.0", "source/dir"}, {TreeEntry::kDir, "source/dir", nullptr}},
       "3.2.0"},
      {"only files and names with letters",
       {{TreeEntry::kFile, "3.1.0", nullptr},
        {TreeEntry::kDir, "v3.1.0", nullptr},
        {TreeEntry::kDir, "3.1.0-rc", nullptr},
        {TreeEntry::kLink, "4.0", "missing"}},
       ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    fs::remove_all(root_ / "varlib/dkms");
    for (const auto& entry : row.entries) {
      const std::string path = dkmsTree(entry.name);
      if (entry.kind == TreeEntry::kDir) fs::create_directories(path);
      if (entry.kind == TreeEntry::kFile)
        root_.write(std::string("varlib/dkms/zorva/") + entry.name, "");
      if (entry.kind == TreeEntry::kLink) {
        fs::create_directories(dkmsTree());
        fs::create_symlink(entry.target, path);
      }
    }
    EXPECT_EQ(run([] { return getDkmsToZorvaVersion(); }).result, row.expected);
  }
}

// --- removal and reinstall ---

TEST_F(DriverPackageTest, RemovalRecordsTheVersionThenRemovesIt) {
  P2P_REQUIRE_SANDBOX();
  fs::create_directories(dkmsTree("3.1.0/source"));
  root_.write("varlog/dkms.log", "an older record\nzorva/1.0.0\n");
  BoxedRun result = run([] {
    removeDkmsToZorva();
    return "";
  });
  EXPECT_EQ(sim::readFile(record()), "zorva/3.1.0\n");
  EXPECT_EQ(dkmsCalls(), std::vector<std::string>{"remove zorva/3.1.0 --all"});
  EXPECT_EQ(result.err, "");
}

TEST_F(DriverPackageTest, RemovalWithoutVersionDoesNothing) {
  P2P_REQUIRE_SANDBOX();
  root_.write("varlib/dkms/zorva/3.1.0", "a file, not a version directory");
  root_.write("varlog/dkms.log", "zorva/2.0.0\n");
  run([] {
    removeDkmsToZorva();
    return "";
  });
  EXPECT_EQ(sim::readFile(record()), "zorva/2.0.0\n");
  EXPECT_TRUE(dkmsCalls().empty());
}

TEST_F(DriverPackageTest, RemovalKeepsThePackageWhenTheRecordCannotBeWritten) {
  P2P_REQUIRE_SANDBOX();
  fs::create_directories(dkmsTree("3.1.0"));
  fs::create_directories(record());  // a directory where the record belongs
  BoxedRun result = run([] {
    removeDkmsToZorva();
    return "";
  });
  EXPECT_TRUE(dkmsCalls().empty());
  EXPECT_TRUE(contains(result.err, "Failed to record zorva/3.1.0")) << result.err;
}

TEST_F(DriverPackageTest, FailedRemovalIsReported) {
  P2P_REQUIRE_SANDBOX();
  fs::create_directories(dkmsTree("3.1.0"));
  dkmsFails("remove", 3);
  BoxedRun result = run([] {
    removeDkmsToZorva();
    return "";
  });
  EXPECT_EQ(dkmsCalls(), std::vector<std::string>{"remove zorva/3.1.0 --all"});
  EXPECT_EQ(result.err,
            "Failed: \"dkms remove zorva/3.1.0 --all > /dev/null 2>&1\" exited with status 3. \n");
}

TEST_F(DriverPackageTest, ReinstallWithoutRecordDoesNothing) {
  P2P_REQUIRE_SANDBOX();
  source("zorva-3.1.0");
  BoxedRun result = run([] {
    installDkmsToZorva();
    return "";
  });
  EXPECT_TRUE(dkmsCalls().empty());
  EXPECT_EQ(logged(), "");
  EXPECT_EQ(result.out + result.err, "");
}

TEST_F(DriverPackageTest, RemoveThenReinstall) {
  P2P_REQUIRE_SANDBOX();
  fs::create_directories(dkmsTree("3.1.0"));
  source("zorva-3.1.0");
  source("linux-headers-5.15.0");
  BoxedRun result = run([] {
    removeDkmsToZorva();
    std::string between = sim::readFile("/var/log/dkms.log");
    installDkmsToZorva();
    return between;
  });
  EXPECT_EQ(result.result, "zorva/3.1.0\n");
  EXPECT_EQ(dkmsCalls(), (std::vector<std::string>{"remove zorva/3.1.0 --all", "add zorva/3.1.0",
                                                   "build zorva/3.1.0", "install zorva/3.1.0"}));
  EXPECT_FALSE(fs::exists(record()));
  EXPECT_EQ(logged(), std::string(kInfo) + kReinstallStart + kInfo + kReinstallDone);
  EXPECT_EQ(result.err, "");
}

struct ReinstallRow {
  const char* label;
  const char* record;
  std::vector<std::string> sources;  // directories in /usr/src
  const char* failure;               // expected in the Fatal line
};

TEST_F(DriverPackageTest, ReinstallFindsNothingToInstall) {
  P2P_REQUIRE_SANDBOX();
  const ReinstallRow rows[] = {
      {"no entry", "nothing here\n", {"zorva-3.1.0"}, "no zorva/ entry"},
      {"two entries",
       "zorva/3.1.0\nzorva/3.2.0\n",
       {"zorva-3.1.0", "zorva-3.2.0"},
       "no source of version \"3.1.0\nzorva/3.2.0\""},
      {"no source", "zorva/3.1.0\n", {"zorva-3.0.0"}, "no source of version \"3.1.0\""},
      {"only a renamed source", "zorva/3.1.0\n", {"zorva-3.1.0.bak"}, "no source of version"},
      {"no /usr/src entries", "zorva/3.1.0\n", {}, "no source of version"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.label);
    fs::remove_all(root_ / "usrsrc");
    root_.subdir("usrsrc");
    for (const auto& name : row.sources) source(name);
    root_.write("varlog/dkms.log", row.record);
    fs::remove(root_ / "qz.log");
    BoxedRun result = run([] {
      installDkmsToZorva();
      return "";
    });
    EXPECT_TRUE(dkmsCalls().empty());
    EXPECT_FALSE(fs::exists(record()));
    EXPECT_TRUE(contains(result.err, row.failure)) << result.err;
    EXPECT_EQ(logged().rfind(std::string(kInfo) + kReinstallStart + kFatal, 0), 0u) << logged();
    EXPECT_FALSE(contains(logged(), kReinstallDone));
  }
}

TEST_F(DriverPackageTest, ReinstallTakesTheFirstMatchingSourceInDirectoryOrder) {
  P2P_REQUIRE_SANDBOX();
  source("zorva-3.1.0.bak");
  source("zorva-3.1.0");
  root_.write("usrsrc/zorva-3.1.0.tar", "a file: skipped");
  root_.write("varlog/dkms.log", "zorva/3.1.0\n");
  std::string first;  // as the directory lists them
  for (const auto& entry : fs::directory_iterator(root_ / "usrsrc")) {
    if (entry.is_directory()) {
      first = entry.path().filename().string();
      break;
    }
  }
  run([] {
    installDkmsToZorva();
    return "";
  });
  if (first == "zorva-3.1.0")
    EXPECT_EQ(dkmsCalls().size(), 3u);
  else
    EXPECT_TRUE(dkmsCalls().empty());
  EXPECT_FALSE(fs::exists(record()));
}

TEST_F(DriverPackageTest, FailedDkmsStepIsReportedAndNoSuccessLogged) {
  P2P_REQUIRE_SANDBOX();
  source("zorva-3.1.0");
  root_.write("varlog/dkms.log", "zorva/3.1.0\n");
  dkmsFails("build", 10);
  BoxedRun result = run([] {
    installDkmsToZorva();
    return "";
  });
  EXPECT_EQ(dkmsCalls(), (std::vector<std::string>{"add zorva/3.1.0", "build zorva/3.1.0",
                                                   "install zorva/3.1.0"}));
  EXPECT_EQ(result.err,
            "Failed: \"dkms build zorva/3.1.0 > /dev/null 2>&1\" exited with status 10. \n");
  EXPECT_FALSE(contains(logged(), kReinstallDone));
  EXPECT_FALSE(fs::exists(record()));
}

// --- module file ---

TEST_F(DriverPackageTest, ModuleFileAsideAndBack) {
  P2P_REQUIRE_SANDBOX();
  ASSERT_FALSE(release_.empty());
  root_.write("lib/modules/" + release_ + "/kernel/drivers/misc/tamberon.ko", "module image");
  BoxedRun result = run([] {
    removeTamberonkoFile();
    std::string aside = fs::exists(std::string("/lib/modules/") + kernelRelease() +
                                   "/kernel/drivers/misc/tamberon.ko.bk")
                            ? "aside"
                            : "not aside";
    removeTamberonkoFile();  // nothing left to move
    return aside;
  });
  EXPECT_EQ(result.result, "aside");
  EXPECT_FALSE(fs::exists(misc("tamberon.ko")));
  EXPECT_EQ(sim::readFile(misc("tamberon.ko.bk")), "module image");
  const std::string removed = std::string(kInfo) +
                              "Success to remove file of tamberon.ko (/lib/modules/" + release_ +
                              "/kernel/drivers/misc/tamberon.ko). \n\n";
  EXPECT_EQ(logged(), removed);

  run([] {
    restoreTamberonkoFile();
    restoreTamberonkoFile();  // nothing left to move
    return "";
  });
  EXPECT_FALSE(fs::exists(misc("tamberon.ko.bk")));
  EXPECT_EQ(sim::readFile(misc("tamberon.ko")), "module image");
  EXPECT_EQ(logged(), removed + kInfo + kRestored);
}

TEST_F(DriverPackageTest, MissingModuleFilesAreLeftAlone) {
  P2P_REQUIRE_SANDBOX();
  fs::create_directories(misc());
  BoxedRun result = run([] {
    removeTamberonkoFile();
    restoreTamberonkoFile();
    return "";
  });
  EXPECT_EQ(logged(), "");
  EXPECT_EQ(result.out + result.err, "");
  EXPECT_TRUE(fs::is_empty(misc()));
}

TEST_F(DriverPackageTest, FailedMoveIsReportedAndNoSuccessLogged) {
  P2P_REQUIRE_SANDBOX();
  ASSERT_FALSE(release_.empty());
  // Each target is a directory holding a non-empty directory of the source's
  // name, which mv cannot overwrite with a file.
  root_.write("lib/modules/" + release_ + "/kernel/drivers/misc/tamberon.ko", "module image");
  root_.write("lib/modules/" + release_ + "/kernel/drivers/misc/tamberon.ko.bk/tamberon.ko/x", "");
  BoxedRun removal = run([] {
    removeTamberonkoFile();
    return "";
  });
  EXPECT_EQ(sim::readFile(misc("tamberon.ko")), "module image");
  const std::string module = "/lib/modules/" + release_ + "/kernel/drivers/misc/tamberon.ko";
  EXPECT_EQ(removal.err.rfind("Failed to move " + module + ": mv exited with status 1. mv: ", 0),
            0u)
      << removal.err;

  fs::remove_all(misc());
  root_.write("lib/modules/" + release_ + "/kernel/drivers/misc/tamberon.ko.bk", "module image");
  root_.write("lib/modules/" + release_ + "/kernel/drivers/misc/tamberon.ko/tamberon.ko.bk/x", "");
  BoxedRun restore = run([] {
    restoreTamberonkoFile();
    return "";
  });
  EXPECT_EQ(sim::readFile(misc("tamberon.ko.bk")), "module image");
  EXPECT_TRUE(contains(restore.err, "Failed to move " + module + ".bk: mv exited with status 1"))
      << restore.err;
  EXPECT_FALSE(contains(logged(), "Success"));
}

// --- blacklist, command register, device paths ---

TEST_F(DriverPackageTest, BlacklistLosesEveryTamberonLine) {
  P2P_REQUIRE_SANDBOX();
  root_.write("etc/modprobe.d/blacklist.conf",
              "blacklist nouveau\nblacklist tamberon\n# keep tamberon away\nblacklist amdgpu\n"
              "install tamberon_aux /bin/false\n");
  BoxedRun result = run([] { return std::to_string(removeTamberonFromBlacklist()); });
  EXPECT_EQ(result.result, "0");
  EXPECT_EQ(sim::readFile(root_ / "etc/modprobe.d/blacklist.conf"),
            "blacklist nouveau\nblacklist amdgpu\n");
}

TEST_F(DriverPackageTest, BlacklistMissing) {
  P2P_REQUIRE_SANDBOX();
  if (fs::exists("/etc/modprobe.d/blacklist.conf")) GTEST_SKIP() << "this machine has a blacklist";
  BoxedRun result = run([] {
    return std::to_string(removeTamberonFromBlacklist()) +
           (fs::exists("/etc/modprobe.d/blacklist.conf") ? " made" : " absent");
  });
  EXPECT_EQ(result.result, "0 absent");
  EXPECT_EQ(result.out + result.err, "");
}

TEST_F(DriverPackageTest, EnableRunsSetpciTwice) {
  P2P_REQUIRE_SANDBOX();
  const std::string longest(28, '1');  // 63 characters of command line
  const std::string too_long(29, '1');
  BoxedRun result = run([&] {
    enablePciDevice("0000:03:00.0");
    enablePciDevice(longest);
    enablePciDevice(too_long);
    return "";
  });
  EXPECT_EQ(tree_.setpci.log(), "-s 0000:03:00.0 COMMAND=0x06\n-s 0000:03:00.0 COMMAND=0x06\n-s " +
                                    longest + " COMMAND=0x06\n-s " + longest + " COMMAND=0x06\n");
  EXPECT_EQ(result.err,
            "Error: command line for " + too_long + " is longer than 63 characters, not run.\n");
}

TEST_F(DriverPackageTest, CanonicalDevicePath) {
  P2P_REQUIRE_SANDBOX();
  tree_.fabric.addGpuBelowRootPort("pci0000:00", "0000:00:01.0", "0000:01:00.0");
  BoxedRun result = run([] {
    const fs::path path = getRealpathByBusId("0000:01:00.0");
    const std::string text = path.string() + "|" + removeRealpathPrefix(path) + "|";
    try {
      getRealpathByBusId("0000:02:00.0");
      return text + "no exception";
    } catch (const fs::filesystem_error&) {
      return text + "filesystem_error";
    }
  });
  EXPECT_EQ(result.result,
            "/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0|0000:00:01.0/0000:01:00.0|"
            "filesystem_error");
}

TEST(RealpathPrefixTest, DropsTheRootPart) {
  const std::pair<const char*, const char*> rows[] = {
      {"/sys/devices/pci0000:00/0000:00:01.0/0000:01:00.0", "0000:00:01.0/0000:01:00.0"},
      {"/sys/devices/pci0000:3a/0000:3a:00.0", "0000:3a:00.0"},
      {"/sys/devices/pci0000:3a/", ""},  // exactly the root part
      {"/sys/devices/pci0000:3a", ""},
      {"", ""},
  };
  for (const auto& [path, expected] : rows) EXPECT_EQ(removeRealpathPrefix(path), expected) << path;
}

}  // namespace
