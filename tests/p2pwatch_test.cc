// p2pwatch running in the background in a guest sandbox: the driver's device
// nodes appear in the sandbox's /dev, the simulated driver records every line
// written to its control files.
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

  void startWatch(const std::map<std::string, std::string>& env = {}) {
    daemon_ = std::make_unique<Daemon>(box_, std::vector<std::string>{systest::kP2pwatch}, env);
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

  sim::Fabric& guest_ = host_;
  std::unique_ptr<Daemon> daemon_;
};

TEST_F(WatchTest, EveryGpuLearnsEveryMemberOfItsGroup) {
  guest_.bindDriver(kGpuA, "0");
  guest_.bindDriver(kGpuB, "1");
  storePairArea(kGpuA, kHostA);
  storePairArea(kGpuB, kHostB);
  startWatch();
  createNode("tamberon0");
  awaitOutput(2);
  const Lines expected = {"pt_p2p_cfg 0 38000000000", "pt_p2p_cfg 1 39000000000"};
  EXPECT_TRUE(eventually([&] { return received(kGpuA).size() == 2; }));
  EXPECT_EQ(received(kGpuA), expected);
  EXPECT_EQ(received(kGpuB), expected);
  EXPECT_EQ(daemon_->out(), std::string(kSuccess) + kSuccess);
  EXPECT_TRUE(daemon_->running());  // output arrived line by line, long before any exit
}

TEST_F(WatchTest, OtherNodesAndDeletionsRunNoPassAndPassesDoNotAccumulate) {
  guest_.bindDriver(kGpuA, "0");
  guest_.bindDriver(kGpuB, "1");
  storePairArea(kGpuA, kHostA);
  storePairArea(kGpuB, kHostB);
  createNode("tamberon-ctl");
  startWatch();
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
  guest_.bindDriver(kGpuA, "0");
  guest_.bindDriver(kGpuB, "1");
  storePairArea(kGpuB, kHostB);
  startWatch();
  createNode("tamberon0");
  awaitOutput(2);
  EXPECT_TRUE(received(kGpuA).empty());
  // A's minor is unknown to B's group: A's own file would have tied it.
  EXPECT_EQ(received(kGpuB), (Lines{"pt_p2p_cfg 38000000000", "pt_p2p_cfg 1 39000000000"}));
  EXPECT_EQ(daemon_->out(), std::string(kSuccess) + kSuccess);
}

TEST_F(WatchTest, AnOfflineGpuIsDropped) {
  guest_.bindDriver(kGpuA, "0");
  guest_.bindDriver(kGpuB, "1");
  storePairArea(kGpuA, kHostA);
  storePairArea(kGpuB, kHostB);
  guest_.markVanished(kGpuB, false);
  startWatch();
  createNode("tamberon0");
  const std::string dropped = "\033[31m OFFLINE: \033[0m GPU 0000:00:06.0 is dropped.\n";
  awaitOutput(3);
  EXPECT_EQ(daemon_->out(), dropped + dropped + kSuccess);
  // B's file is not read, so B's host number has no minor in A's commands.
  EXPECT_EQ(received(kGpuA), (Lines{"pt_p2p_cfg 0 38000000000", "pt_p2p_cfg 39000000000"}));
  EXPECT_TRUE(received(kGpuB).empty());
}

TEST_F(WatchTest, MalformedPeerFilesAreReportedAndSkipped) {
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
  startWatch();
  createNode("tamberon0");
  awaitOutput(4);
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
  guest_.bindDriver(kGpuA, "0");
  guest_.bindDriver(kGpuB, "1");
  startWatch();
  createNode("tamberon0");
  awaitOutput(3);
  EXPECT_EQ(daemon_->out(), std::string("Error: Cannot list /etc/qz/vm_p2p_cfg/: No such file or "
                                        "directory\n") +
                                kSuccess + kSuccess);
  EXPECT_TRUE(received(kGpuA).empty());
  EXPECT_TRUE(daemon_->running());
}

TEST_F(WatchTest, AGpuWithoutAMinorIsNotProgrammedWithAnotherGroup) {
  guest_.bindDriver(kGpuA, "0");
  fs::remove(guest_.dir(kGpuA) + "/minor");
  // B is not bound: its file is filed under the empty minor.
  storePairArea(kGpuB, kHostB);
  startWatch();
  createNode("tamberon0");
  awaitOutput(2);
  EXPECT_EQ(daemon_->out(), std::string("Failed to open config file.\n") + kSuccess);
  EXPECT_TRUE(received(kGpuA).empty());
}

TEST_F(WatchTest, AFailedDriverCommandIsNeverReportedAsSuccess) {
  guest_.bindDriver(kGpuA, "0", false);
  guest_.bindDriver(kGpuB, "1");
  storePairArea(kGpuA, kHostA);
  storePairArea(kGpuB, kHostB);
  const std::string control = guest_.dir(kGpuA) + "/itr_debug";
  fs::remove(control);
  fs::create_directory(control);  // the shell cannot write into a directory
  startWatch();
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
  guest_.bindDriver(kGpuA, "0");
  storePairArea(kGpuA, kHostA);
  // Two reads of the event queue succeed, the third fails.
  startWatch({{"LD_PRELOAD", P2P_FAILREAD_LIB},
              {"P2P_INOTIFY_READS_OK", "2"},
              {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
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

TEST_F(WatchTest, ANonRootUserIsRefused) {
  sim::Sandbox box = box_;
  box.uid = box.gid = systest::kNobody;
  const systest::ReachableCopy watch(systest::kP2pwatch);
  const sim::Result r = sim::run(box, {watch.path()});
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.out, "Requires root privileges.\n");
}

}  // namespace
