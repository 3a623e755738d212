// p2pwatch running in the background in a guest sandbox: the driver's device
// nodes appear in the sandbox's /dev, the simulated driver records every line
// written to its control files.
#include <sys/stat.h>

#include <algorithm>

#include "tests/system_fixture.h"

namespace {

namespace fs = std::filesystem;
using systest::Daemon;
using systest::eventually;
using Lines = std::vector<std::string>;

constexpr char kGpuA[] = "0000:00:05.0";  // host 0000:3d:00.0, minor 0
constexpr char kGpuB[] = "0000:00:06.0";  // host 0000:3e:00.0, minor 1
constexpr uint64_t kHostA = 0x3D00, kHostB = 0x3E00;
constexpr uint64_t kBarA = 0x38000000000, kBarB = 0x39000000000;
constexpr char kSuccess[] = "Writing to file itr_debug was successful ...\n";

class WatchTest : public systest::FabricTest {
 protected:
  void SetUp() override {
    FabricTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    for (const char* gpu : {kGpuA, kGpuB}) guest_.addGpu(gpu, "pci0000:00");
  }

  // The area the host wrote for a group of A and B, as -r stored it.
  void storePairArea(const std::string& guest_gpu, uint64_t self) {
    storePeerFile(guest_gpu, {self | 5ULL << 32, kHostA, kBarA, kHostB, kBarB});
  }
  void storePeerFile(const std::string& guest_gpu, const std::vector<uint64_t>& words) {
    storePeerBytes(guest_gpu, std::string(reinterpret_cast<const char*>(words.data()),
                                          words.size() * sizeof(uint64_t)));
  }
  void storePeerBytes(const std::string& guest_gpu, const std::string& bytes) {
    fs::create_directories(etc_.path() + "/" + systest::kPeerDir);
    std::ofstream(peerFile(guest_gpu), std::ios::binary) << bytes;
  }

  void startWatch(const std::map<std::string, std::string>& env = {}, bool journal = false) {
    daemon_ =
        std::make_unique<Daemon>(box_, std::vector<std::string>{systest::kP2pwatch}, env, journal);
    ASSERT_TRUE(eventually([&] { return daemon_->watching(); })) << daemon_->err();
  }
  void createNode(const std::string& name) { std::ofstream(dev_ / name) << ""; }
  // Waits until the daemon has printed `lines` lines in all.
  void awaitOutput(size_t lines) {
    ASSERT_TRUE(eventually([&] { return daemon_->outLines() >= lines; }))
        << "output so far:\n"
        << daemon_->out() << daemon_->err();
  }
  Lines received(const std::string& gpu) { return guest_.itrDebugLines(gpu); }
  // The driver binds the pair under minors 0 and 1; both have their peer files.
  void bindPair() {
    guest_.bindDriver(kGpuA, "0");
    guest_.bindDriver(kGpuB, "1");
    storePairArea(kGpuA, kHostA);
    storePairArea(kGpuB, kHostB);
  }
  // Both GPUs of the pair learnt both members, and each got its success line.
  void expectPairProgrammed() {
    const Lines expected = {"pt_p2p_cfg 0 38000000000", "pt_p2p_cfg 1 39000000000"};
    EXPECT_TRUE(
        eventually([&] { return received(kGpuA).size() == 2 && received(kGpuB).size() == 2; }));
    EXPECT_EQ(received(kGpuA), expected);
    EXPECT_EQ(received(kGpuB), expected);
    EXPECT_EQ(daemon_->out(), std::string(kSuccess) + kSuccess);
  }
  // A control file whose writer blocks for good: a FIFO nobody reads.
  void makeStuck(const std::string& gpu) {
    const std::string control = guest_.dir(gpu) + "/itr_debug";
    guest_.unbindDriver(gpu);
    guest_.bindDriver(gpu, "0", false);
    fs::remove(control);
    ASSERT_EQ(mkfifo(control.c_str(), 0600), 0);
  }
  bool contains(const std::string& text) { return daemon_->out().find(text) != std::string::npos; }

  sim::Fabric& guest_ = host_;
  std::unique_ptr<Daemon> daemon_;
};

TEST_F(WatchTest, EveryGpuLearnsEveryMemberOfItsGroup) {
  startWatch();  // before the driver binds: no start-up pass
  bindPair();
  createNode("tamberon0");
  awaitOutput(2);
  expectPairProgrammed();
  EXPECT_TRUE(daemon_->running());  // output arrived line by line, long before any exit
}

TEST_F(WatchTest, OtherNodesAndDeletionsRunNoPassAndPassesDoNotAccumulate) {
  createNode("tamberon-ctl");
  startWatch();  // before the driver binds: no start-up pass
  bindPair();
  createNode("nvme0n1");
  fs::remove(dev_ / "tamberon-ctl");
  createNode("tamberon0");
  awaitOutput(2);
  createNode("tamberon1");  // a second pass over unchanged tables: the same commands again
  awaitOutput(4);
  const Lines once = {"pt_p2p_cfg 0 38000000000", "pt_p2p_cfg 1 39000000000"};
  Lines twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_TRUE(eventually([&] { return received(kGpuB).size() >= 4; }));
  EXPECT_EQ(received(kGpuA), twice);
  EXPECT_EQ(received(kGpuB), twice);
  EXPECT_EQ(daemon_->outLines(), 4u);
}

TEST_F(WatchTest, AGpuWithoutAPeerFileGetsNoCommandButItsLine) {
  startWatch();  // before the driver binds: no start-up pass
  guest_.bindDriver(kGpuA, "0");
  guest_.bindDriver(kGpuB, "1");
  storePairArea(kGpuB, kHostB);
  createNode("tamberon0");
  awaitOutput(2);
  EXPECT_TRUE(received(kGpuA).empty());
  // A's minor is unknown to B's group: A's own file would have tied it.
  EXPECT_EQ(received(kGpuB), (Lines{"pt_p2p_cfg 38000000000", "pt_p2p_cfg 1 39000000000"}));
  EXPECT_EQ(daemon_->out(), std::string(kSuccess) + kSuccess);
}

TEST_F(WatchTest, AnOfflineGpuIsDropped) {
  startWatch();  // before the driver binds: no start-up pass
  bindPair();
  guest_.markVanished(kGpuB, false);
  createNode("tamberon0");
  const std::string dropped = "\033[31m OFFLINE: \033[0m GPU 0000:00:06.0 is dropped.\n";
  awaitOutput(3);
  EXPECT_EQ(daemon_->out(), dropped + dropped + kSuccess);
  // B's file is not read, so B's host number has no minor in A's commands.
  EXPECT_EQ(received(kGpuA), (Lines{"pt_p2p_cfg 0 38000000000", "pt_p2p_cfg 39000000000"}));
  EXPECT_TRUE(received(kGpuB).empty());
}

// Under systemd: every line with its priority, no escape codes; the same
// pass as above.
TEST_F(WatchTest, TheJournalGetsEachLinesPriorityAndNoEscapeCodes) {
  startWatch({}, true);
  bindPair();
  guest_.markVanished(kGpuB, false);
  createNode("tamberon0");
  awaitOutput(3);
  const std::string dropped = "<4> OFFLINE:  GPU 0000:00:06.0 is dropped.\n";
  EXPECT_EQ(daemon_->out(), dropped + dropped + "<6>" + kSuccess);
}

TEST_F(WatchTest, MalformedPeerFilesAreReportedAndSkipped) {
  startWatch();  // before the driver binds: no start-up pass
  const struct {
    const char* gpu;
    std::string bytes;
  } cases[] = {
      {"0000:00:07.0", ""},                                                  // empty
      {"0000:00:08.0", std::string("\x00\x3d\x00\x00\x05\x00\x00\x00", 8)},  // 5 words promised
      {"0000:00:09.0",
       std::string("\x00\x3d\x00\x00\x21\x00\x00\x00", 8) + std::string(33 * 8, '\0')},  // 33 words
  };
  guest_.bindDriver(kGpuA, "0");
  storePairArea(kGpuA, kHostA);
  for (const auto& c : cases) {
    guest_.addGpu(c.gpu, "pci0000:00");
    storePeerBytes(c.gpu, c.bytes);
  }
  guest_.bindDriver("0000:00:08.0", "2");  // its own file is unusable: no success line
  createNode("tamberon0");
  awaitOutput(5);
  EXPECT_NE(daemon_->out().find("\033[31mError:\033[0m Nothing written to "
                                "/sys/bus/pci/drivers/tamberon/0000:00:08.0/itr_debug: peer "
                                "configuration file /etc/qz/vm_p2p_cfg/0000:00:08.0 unusable\n"),
            std::string::npos)
      << daemon_->out();
  EXPECT_EQ(daemon_->out().find(kSuccess), daemon_->out().rfind(kSuccess));  // A's line only
  EXPECT_TRUE(received("0000:00:08.0").empty());
  for (const auto& c : cases)
    EXPECT_NE(daemon_->out().find(std::string("/etc/qz/vm_p2p_cfg/") + c.gpu), std::string::npos)
        << c.gpu << "\n"
        << daemon_->out();
  EXPECT_EQ(received(kGpuA), (Lines{"pt_p2p_cfg 0 38000000000", "pt_p2p_cfg 39000000000"}));
  EXPECT_TRUE(daemon_->running());
}

TEST_F(WatchTest, AMissingDriverIsReportedAndTheDaemonKeepsWatching) {
  storePairArea(kGpuA, kHostA);
  storePairArea(kGpuB, kHostB);
  startWatch();
  createNode("tamberon0");
  awaitOutput(1);
  EXPECT_EQ(daemon_->out().find("Error: Cannot list /sys/bus/pci/drivers/tamberon"), 0u)
      << daemon_->out();
  // The driver binds its GPUs: the next node is served.
  guest_.bindDriver(kGpuA, "0");
  guest_.bindDriver(kGpuB, "1");
  createNode("tamberon1");
  EXPECT_TRUE(eventually([&] { return received(kGpuB).size() == 2; })) << daemon_->out();
  EXPECT_EQ(received(kGpuA), (Lines{"pt_p2p_cfg 0 38000000000", "pt_p2p_cfg 1 39000000000"}));
}

TEST_F(WatchTest, AMissingPeerDirectoryIsReportedAndThePassGoesOn) {
  startWatch();  // before the driver binds: no start-up pass
  guest_.bindDriver(kGpuA, "0");
  guest_.bindDriver(kGpuB, "1");
  createNode("tamberon0");
  awaitOutput(3);
  EXPECT_EQ(daemon_->out(), std::string("Error: Cannot list /etc/qz/vm_p2p_cfg/: No such file or "
                                        "directory\n") +
                                kSuccess + kSuccess);
  EXPECT_TRUE(received(kGpuA).empty());
  EXPECT_TRUE(daemon_->running());
}

TEST_F(WatchTest, AGpuWithoutAMinorIsNotProgrammedWithAnotherGroup) {
  startWatch();  // before the driver binds: no start-up pass
  guest_.bindDriver(kGpuA, "0");
  fs::remove(guest_.dir(kGpuA) + "/minor");
  // B is not bound: its file is filed under the empty minor.
  storePairArea(kGpuB, kHostB);
  createNode("tamberon0");
  awaitOutput(3);
  EXPECT_EQ(daemon_->out(), std::string("Failed to open config file.\n"
                                        "/sys/bus/pci/drivers/tamberon/0000:00:05.0/minor: No "
                                        "such file or directory\n") +
                                kSuccess);
  EXPECT_TRUE(received(kGpuA).empty());
}

TEST_F(WatchTest, AFailedDriverCommandIsNeverReportedAsSuccess) {
  startWatch();  // before the driver binds: no start-up pass
  guest_.bindDriver(kGpuA, "0", false);
  guest_.bindDriver(kGpuB, "1");
  storePairArea(kGpuA, kHostA);
  storePairArea(kGpuB, kHostB);
  const std::string control = guest_.dir(kGpuA) + "/itr_debug";
  fs::remove(control);
  fs::create_directory(control);  // the shell cannot write into a directory
  createNode("tamberon0");
  awaitOutput(2);
  EXPECT_NE(daemon_->out().find("\033[31mError:\033[0m Writing to "
                                "/sys/bus/pci/drivers/tamberon/0000:00:05.0/itr_debug failed\n"),
            std::string::npos)
      << daemon_->out();
  EXPECT_EQ(daemon_->out().find(kSuccess), daemon_->out().rfind(kSuccess));  // B's line only
  EXPECT_EQ(received(kGpuB).size(), 2u);
}

TEST_F(WatchTest, TheDaemonEndsWithStatusZeroWhenReadingEventsFails) {
  // Two reads of the event queue succeed, the third fails.
  startWatch({{"LD_PRELOAD", P2P_FAILREAD_LIB},
              {"P2P_INOTIFY_READS_OK", "2"},
              {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
  guest_.bindDriver(kGpuA, "0");
  storePairArea(kGpuA, kHostA);
  createNode("tamberon0");
  awaitOutput(1);
  EXPECT_TRUE(daemon_->running());
  createNode("tamberon1");
  awaitOutput(2);
  createNode("tamberon2");
  EXPECT_EQ(daemon_->waitForExit(5000), 0);
  EXPECT_EQ(daemon_->err(), "Error reading inotify events\n");
  EXPECT_EQ(daemon_->out(), std::string(kSuccess) + kSuccess);
}

TEST_F(WatchTest, AStartUpPassServesADriverLoadedBeforeTheDaemonFromAReadOnlyEtc) {
  bindPair();
  createNode("tamberon0");  // before the daemon: no event will tell of it
  const std::string peers = "/etc/qz/vm_p2p_cfg";
  daemon_ = std::make_unique<Daemon>(
      box_, std::vector<std::string>{"/bin/sh", "-c",
                                     "mount --bind " + peers + " " + peers +
                                         " && mount -o remount,bind,ro " + peers + " && exec " +
                                         systest::kP2pwatch});
  awaitOutput(2);
  expectPairProgrammed();
}

TEST_F(WatchTest, ABurstOfNodesIsServedByOnePass) {
  startWatch();
  bindPair();
  for (int i = 0; i < 8; ++i) {
    createNode("tamberon" + std::to_string(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  awaitOutput(2);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(daemon_->outLines(), 2u) << daemon_->out();
  EXPECT_EQ(received(kGpuA), (Lines{"pt_p2p_cfg 0 38000000000", "pt_p2p_cfg 1 39000000000"}));
}

TEST_F(WatchTest, ARebindingLeavesNoStaleEntries) {
  startWatch();
  bindPair();
  createNode("tamberon0");
  awaitOutput(2);
  // A leaves; B comes back under A's old minor.
  guest_.unbindDriver(kGpuA);
  guest_.unbindDriver(kGpuB);
  guest_.bindDriver(kGpuB, "0");
  createNode("tamberon1");
  awaitOutput(3);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(daemon_->out(), std::string(kSuccess) + kSuccess + kSuccess);
  // A's file is still there, but no bound GPU has A's minor any more.
  EXPECT_EQ(received(kGpuB), (Lines{"pt_p2p_cfg 38000000000", "pt_p2p_cfg 0 39000000000"}));
}

// Live processes whose command line mentions `text` and whose mounts show
// `mount_source` (a scratch directory of one test's sandbox).
std::vector<pid_t> processesMentioning(const std::string& text, const std::string& mount_source) {
  std::vector<pid_t> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    std::string cmdline = sim::readFile(entry.path() / "cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    if (cmdline.find(text) != std::string::npos &&
        sim::readFile(entry.path() / "mountinfo").find(mount_source) != std::string::npos)
      found.push_back(std::atoi(entry.path().filename().c_str()));
  }
  return found;
}

TEST_F(WatchTest, AnOverflowingEventQueueRunsAPass) {
  startWatch();
  bindPair();
  // While the daemon does not read, more entries arrive than its queue holds;
  // the driver's node comes last and is lost.
  const auto daemon = processesMentioning(systest::kP2pwatch, dev_.path());
  ASSERT_EQ(daemon.size(), 1u);
  ASSERT_EQ(kill(daemon[0], SIGSTOP), 0);
  size_t queue_limit = 16384;
  std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queue_limit;
  for (size_t i = 0; i <= queue_limit; ++i) createNode("x" + std::to_string(i));
  createNode("tamberon0");
  ASSERT_EQ(kill(daemon[0], SIGCONT), 0);
  EXPECT_TRUE(eventually([&] { return received(kGpuB).size() == 2; }, 10000)) << daemon_->out();
  EXPECT_EQ(received(kGpuB), (Lines{"pt_p2p_cfg 0 38000000000", "pt_p2p_cfg 1 39000000000"}));
}

TEST_F(WatchTest, AStuckControlFileIsEndedInTimeAndDiesWithTheDaemon) {
  bindPair();
  makeStuck(kGpuA);
  startWatch();
  const std::string control = "/sys/bus/pci/drivers/tamberon/0000:00:05.0/itr_debug";
  awaitOutput(3);
  EXPECT_EQ(daemon_->out(), "\033[31mError:\033[0m Writing to " + control +
                                " took longer than 3000 ms, ended\n\033[31mError:\033[0m Writing "
                                "to " +
                                control + " failed\n" + kSuccess);
  EXPECT_EQ(received(kGpuB).size(), 2u);  // B is served after A
  const std::string ours = dev_.path();   // mounted in this test's sandbox only
  EXPECT_TRUE(processesMentioning(control, ours).empty());
  createNode("tamberon0");
  ASSERT_TRUE(eventually([&] { return !processesMentioning(control, ours).empty(); }));
  daemon_->stop();  // while a shell hangs on the control file
  EXPECT_TRUE(eventually([&] { return processesMentioning(control, ours).empty(); }, 2000));
}

TEST_F(WatchTest, OnlyCheckedTextReachesTheShell) {
  startWatch();
  constexpr char kGpuC[] = "0000:00:07.0";
  guest_.addGpu(kGpuC, "pci0000:00");
  guest_.bindDriver(kGpuA, "0");
  guest_.bindDriver(kGpuB, "1");
  guest_.bindDriver(kGpuC, "1;touch${IFS}/tmp/p2p-hostile-minor");
  // B is told a member at address 0 and one at all ones.
  storePairArea(kGpuA, kHostA);
  storePeerFile(kGpuB,
                {kHostB | 9ULL << 32, kHostA, kBarA, kHostB, kBarB, 0x3F00, 0, 0x4000, ~0ULL});
  fs::create_directories(guest_.driverDir() + "/0000:00:zz.0");
  createNode("tamberon0");
  awaitOutput(6);
  for (const std::string line :
       {"Error: Minor file /sys/bus/pci/drivers/tamberon/0000:00:07.0/minor holds no decimal "
        "number, skipping GPU 0000:00:07.0\n",
        "Error: /sys/bus/pci/drivers/tamberon/0000:00:zz.0 is not named by a PCI address, "
        "skipping it\n",
        "Error: Peer configuration file /etc/qz/vm_p2p_cfg/0000:00:06.0 gives member 3F00 the "
        "address 0, skipping it\n",
        "Error: Peer configuration file /etc/qz/vm_p2p_cfg/0000:00:06.0 gives member 4000 the "
        "address FFFFFFFFFFFFFFFF, skipping it\n"})
    EXPECT_TRUE(contains(line)) << line << daemon_->out();
  EXPECT_FALSE(fs::exists("/tmp/p2p-hostile-minor"));
  EXPECT_TRUE(received(kGpuC).empty());
  EXPECT_EQ(received(kGpuB), (Lines{"pt_p2p_cfg 0 38000000000", "pt_p2p_cfg 1 39000000000"}));
}

TEST_F(WatchTest, HelpAndVersionAnswerAndOtherArgumentsAreRefusedBeforeAnythingElse) {
  const struct {
    std::vector<std::string> args;
    int status;
    const char* out_start;
    const char* err_start;
  } cases[] = {
      {{"--help"}, 0, "Usage: p2pwatch", ""},
      {{"-h"}, 0, "Usage: p2pwatch", ""},
      {{"--version"}, 0, "p2pwatch ", ""},
      {{"--frobnicate"}, 2, "", "p2pwatch: unexpected argument '--frobnicate'\n"},
      {{"--help", "x"}, 2, "", "p2pwatch: unexpected argument 'x'\n"},
  };
  const systest::ReachableCopy reachable(systest::kP2pwatch);  // for the other user
  for (const auto& c : cases) {
    for (uid_t uid : {0u, systest::kNobody}) {
      sim::Sandbox box = box_;
      box.uid = box.gid = uid;
      std::vector<std::string> argv = {uid == 0 ? systest::kP2pwatch : reachable.path()};
      argv.insert(argv.end(), c.args.begin(), c.args.end());
      const sim::Result r = sim::run(box, argv, "", 10);  // a daemon would time out
      EXPECT_EQ(r.status, c.status) << c.args[0] << " uid " << uid;
      EXPECT_EQ(r.out.rfind(c.out_start, 0), 0u) << r.out;
      EXPECT_EQ(r.err.rfind(c.err_start, 0), 0u) << r.err;
    }
  }
  // The version is the project's.
  const std::string version = sim::run(box_, {systest::kP2pwatch, "--version"}).out.substr(9);
  EXPECT_NE(sim::readFile(P2P_SOURCE_DIR "/CMakeLists.txt")
                .find("VERSION " + version.substr(0, version.size() - 1) + " "),
            std::string::npos)
      << version;
}

TEST_F(WatchTest, ANonRootUserIsRefused) {
  sim::Sandbox box = box_;
  box.uid = box.gid = systest::kNobody;
  const systest::ReachableCopy watch(systest::kP2pwatch);
  const sim::Result r = sim::run(box, {watch.path()});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "Requires root privileges.\n");
}

}  // namespace
