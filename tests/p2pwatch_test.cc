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
constexpr char kSuccess[] = "Writing to file itr_debug was successful ...";
constexpr char kRedError[] = "\033[31mError:\033[0m ";
const Lines kPairLines = {"pt_p2p_cfg 0 38000000000", "pt_p2p_cfg 1 39000000000"};

// The area of `self` for a group of {host packed BDF number, BAR0}.
std::vector<uint64_t> area(uint64_t self, const std::vector<std::pair<uint64_t, uint64_t>>& group) {
  std::vector<uint64_t> words = {self | (1 + 2 * group.size()) << 32};
  for (const auto& [member, bar] : group) words.insert(words.end(), {member, bar});
  return words;
}
std::string bytesOf(const std::vector<uint64_t>& words) {
  return std::string(reinterpret_cast<const char*>(words.data()), words.size() * sizeof(uint64_t));
}
const std::string kPairA = bytesOf(area(kHostA, {{kHostA, kBarA}, {kHostB, kBarB}}));
const std::string kPairB = bytesOf(area(kHostB, {{kHostA, kBarA}, {kHostB, kBarB}}));

std::string success(const std::string& gpu, unsigned lines) {
  return std::string(kSuccess) + " GPU " + gpu + ", " + std::to_string(lines) +
         (lines == 1 ? " line\n" : " lines\n");
}
std::string notProgrammed(const std::string& gpu, const std::string& reason) {
  return kRedError + ("GPU " + gpu + " not programmed: " + reason + "\n");
}
std::string peerProblem(const std::string& gpu, const std::string& problem) {
  return "peer configuration file /etc/qz/vm_p2p_cfg/" + gpu + " " + problem;
}
std::string leftOut(const std::string& gpu, const std::string& members) {
  const bool one = members.find(' ') == std::string::npos;
  return "GPU " + gpu + ": member" + (one ? " " : "s ") + members + (one ? " has" : " have") +
         " no GPU in this guest; left out\n";
}
std::string foreign(const std::string& file) {
  return "\033[31mWARNING:\033[0m Peer configuration file /etc/qz/vm_p2p_cfg/" + file +
         " belongs to no GPU bound here; ignored\n";
}

class WatchTest : public systest::FabricTest {
 protected:
  void SetUp() override {
    FabricTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    for (const char* gpu : {kGpuA, kGpuB}) guest_.addGpu(gpu, "pci0000:00");
  }

  // Stores a peer file as p2ptool -r does. While the daemon runs, through
  // its own /etc (it sees nothing written below the overlay's back).
  void storePeerBytes(const std::string& gpu, const std::string& bytes) {
    if (!daemon_) {
      const std::string dir = box_.etc_upper + "/" + systest::kPeerDir + "/";
      fs::create_directories(dir);
      std::ofstream(dir + gpu, std::ios::binary) << bytes;
      return;
    }
    sim::Sandbox joined;
    joined.join = daemon_->pid();
    ASSERT_EQ(sim::runFunction(joined,
                               [&] {
                                 const std::string dir = "/etc/qz/vm_p2p_cfg/";
                                 fs::create_directories(dir);
                                 std::ofstream(dir + ".peer-test", std::ios::binary) << bytes;
                                 fs::rename(dir + ".peer-test", dir + gpu);
                                 return 0;
                               }),
              0);
  }
  // The pair's areas as -r stored them.
  void storePair() {
    storePeerBytes(kGpuA, kPairA);
    storePeerBytes(kGpuB, kPairB);
  }

  void startWatch(const std::map<std::string, std::string>& env = {}, bool journal = false,
                  const std::string& umask = "022") {
    daemon_ = std::make_unique<Daemon>(
        box_,
        std::vector<std::string>{"/bin/sh", "-c",
                                 "umask " + umask + " && exec " + std::string(systest::kP2pwatch)},
        env, journal);
    ASSERT_TRUE(eventually([&] { return daemon_->watching(); })) << daemon_->err();
  }
  void createNode(const std::string& name) { std::ofstream(dev_ / name) << ""; }
  // Waits until the daemon has printed `lines` lines in all.
  void awaitOutput(size_t lines, int timeout_ms = 5000) {
    ASSERT_TRUE(eventually([&] { return daemon_->outLines() >= lines; }, timeout_ms))
        << "output so far:\n"
        << daemon_->out() << daemon_->err();
  }
  Lines received(const std::string& gpu) { return guest_.itrDebugLines(gpu); }
  // The driver binds the pair under minors 0 and 1.
  void bindPair() {
    guest_.bindDriver(kGpuA, "0");
    guest_.bindDriver(kGpuB, "1");
  }
  // Both GPUs of the pair learnt both members, and each got its success line.
  void expectPairProgrammed() {
    EXPECT_TRUE(
        eventually([&] { return received(kGpuA).size() == 2 && received(kGpuB).size() == 2; }));
    EXPECT_EQ(received(kGpuA), kPairLines);
    EXPECT_EQ(received(kGpuB), kPairLines);
    EXPECT_EQ(daemon_->out(), success(kGpuA, 2) + success(kGpuB, 2));
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
  // Whether the pass record comes to hold `text`.
  bool recorded(const std::string& text) {
    return eventually(
        [&] { return sim::readFile(run_ / "p2pwatch/status").find(text) != std::string::npos; });
  }

  sim::Fabric& guest_ = host_;
  std::unique_ptr<Daemon> daemon_;
};

// "<seconds>.<nanoseconds>" of CLOCK_REALTIME now.
std::string realTimeNow() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  char text[48];
  snprintf(text, sizeof text, "%lld.%09ld", static_cast<long long>(now.tv_sec), now.tv_nsec);
  return text;
}
// Times of that form compare as text once they have the same number of digits.
bool notAfter(const std::string& a, const std::string& b) {
  return a.size() < b.size() || (a.size() == b.size() && a <= b);
}

TEST_F(WatchTest, EveryGpuLearnsEveryMemberOfItsGroupAndThePassIsRecorded) {
  storePair();
  startWatch({}, false, "077");  // before the driver binds: no start-up pass
  bindPair();
  const std::string before = realTimeNow();
  createNode("tamberon0");
  awaitOutput(2);
  expectPairProgrammed();
  EXPECT_TRUE(daemon_->running());  // output arrived line by line, long before any exit

  // The record, whole and readable by all whatever the umask; it follows the output.
  ASSERT_TRUE(eventually([&] { return fs::exists(run_ / "p2pwatch/status"); }));
  const std::string record = sim::readFile(run_ / "p2pwatch/status");
  const size_t pass_at = record.find("\npass ") + 6;
  const std::string time = record.substr(pass_at, record.find('\n', pass_at) - pass_at);
  EXPECT_TRUE(notAfter(before, time) && notAfter(time, realTimeNow())) << before << " " << time;
  const std::string files = "\t/etc/qz/vm_p2p_cfg/";
  EXPECT_EQ(record, "p2pwatch status 1\npass " + time + "\ngpu\t0000:00:05.0\t" + time +
                        "\tprogrammed\t2" + files + "0000:00:05.0\t\ngpu\t0000:00:06.0\t" + time +
                        "\tprogrammed\t2" + files + "0000:00:06.0\t\n");
  struct stat file {
  }, dir{};
  ASSERT_EQ(stat((run_ / "p2pwatch/status").c_str(), &file), 0);
  ASSERT_EQ(stat((run_ / "p2pwatch").c_str(), &dir), 0);
  EXPECT_EQ(file.st_mode & 07777, 0644u);
  EXPECT_EQ(dir.st_mode & 07777, 0755u);
}

TEST_F(WatchTest, OtherNodesAndDeletionsRunNoPassAndPassesDoNotAccumulate) {
  storePair();
  createNode("tamberon-ctl");
  startWatch();  // before the driver binds: no start-up pass
  bindPair();
  createNode("nvme0n1");
  fs::remove(dev_ / "tamberon-ctl");
  createNode("tamberon0");
  awaitOutput(2);
  createNode("tamberon1");  // a second pass over unchanged tables: the same commands again
  awaitOutput(4);
  Lines twice = kPairLines;
  twice.insert(twice.end(), kPairLines.begin(), kPairLines.end());
  EXPECT_TRUE(eventually([&] { return received(kGpuB).size() >= 4; }));
  EXPECT_EQ(received(kGpuA), twice);
  EXPECT_EQ(received(kGpuB), twice);
  EXPECT_EQ(daemon_->outLines(), 4u);
}

// The start-up pass over the bound pair, with the peer files of each row.
TEST_F(WatchTest, OnlyGpusOfThisGuestAndTheirOwnFilesTakePart) {
  const std::string fifo = "fifo", loop = "loop";  // a link to itself: there, never opens
  const auto group_of_four = [](uint64_t self) {
    return bytesOf(
        area(self, {{kHostA, kBarA}, {kHostB, kBarB}, {0x3F00, 0x3A000000000}, {0x4000, 1}}));
  };
  const struct {
    const char* what;
    std::map<std::string, std::string> files;  // guest GPU -> bytes
    std::string out;
    Lines a, b;
  } rows[] = {
      {"A without its own file",
       {{kGpuB, kPairB}},
       notProgrammed(kGpuA, peerProblem(kGpuA, "is missing")) + leftOut(kGpuB, "0000:3d:00.0") +
           success(kGpuB, 1),
       {},
       {"pt_p2p_cfg 1 39000000000"}},
      {"a FIFO for A's file",
       {{kGpuA, fifo}, {kGpuB, kPairB}},
       notProgrammed(kGpuA, peerProblem(kGpuA, "is not a regular file")) +
           leftOut(kGpuB, "0000:3d:00.0") + success(kGpuB, 1),
       {},
       {"pt_p2p_cfg 1 39000000000"}},
      {"A's file a link to itself",
       {{kGpuA, loop}, {kGpuB, kPairB}},
       "Error: Failed to open 0000:00:05.0\n/etc/qz/vm_p2p_cfg/0000:00:05.0: Too many levels of "
       "symbolic links\n" +
           notProgrammed(kGpuA, peerProblem(kGpuA,
                                            "cannot be opened: Too many levels of symbolic "
                                            "links")) +
           leftOut(kGpuB, "0000:3d:00.0") + success(kGpuB, 1),
       {},
       {"pt_p2p_cfg 1 39000000000"}},
      {"two of a group's four GPUs",
       {{kGpuA, group_of_four(kHostA)}, {kGpuB, group_of_four(kHostB)}},
       leftOut(kGpuA, "0000:3f:00.0 0000:40:00.0") + success(kGpuA, 2) +
           leftOut(kGpuB, "0000:3f:00.0 0000:40:00.0") + success(kGpuB, 2),
       kPairLines,
       kPairLines},
      {"stale files of absent GPUs naming A's and B's host GPUs",
       {{kGpuA, kPairA},
        {kGpuB, kPairB},
        {"0000:00:09.0", bytesOf(area(kHostA, {{kHostA, 0x50000000000}}))},
        {"0000:00:0a.0", bytesOf(area(kHostB, {{kHostB, 0x51000000000}}))}},
       foreign("0000:00:09.0") + foreign("0000:00:0a.0") + success(kGpuA, 2) + success(kGpuB, 2),
       kPairLines,
       kPairLines},
  };
  for (const auto& row : rows) {
    const sim::TempDir etc("p2p-etc");
    box_.etc_upper = etc.path();
    const std::string dir = etc.subdir(systest::kPeerDir) + "/";
    for (const auto& [gpu, bytes] : row.files) {
      if (bytes == fifo)
        ASSERT_EQ(mkfifo((dir + gpu).c_str(), 0644), 0);
      else if (bytes == loop)
        fs::create_symlink(gpu, dir + gpu);
      else
        std::ofstream(dir + gpu, std::ios::binary) << bytes;
    }
    bindPair();  // afresh: nothing received yet
    startWatch();
    awaitOutput(static_cast<size_t>(std::count(row.out.begin(), row.out.end(), '\n')));
    EXPECT_TRUE(eventually([&] { return received(kGpuB).size() >= row.b.size(); }));
    EXPECT_EQ(daemon_->out(), row.out) << row.what;
    EXPECT_EQ(received(kGpuA), row.a) << row.what;
    EXPECT_EQ(received(kGpuB), row.b) << row.what;
    daemon_.reset();
  }
}

TEST_F(WatchTest, AnOfflineGpuIsDropped) {
  storePair();
  startWatch();  // before the driver binds: no start-up pass
  bindPair();
  guest_.markVanished(kGpuB, false);
  createNode("tamberon0");
  awaitOutput(3);
  // B's file is not read, so B's host GPU has no minor: A is not told of it.
  EXPECT_EQ(daemon_->out(), "\033[31m OFFLINE: \033[0m GPU 0000:00:06.0 is dropped.\n" +
                                leftOut(kGpuA, "0000:3e:00.0") + success(kGpuA, 1));
  EXPECT_EQ(received(kGpuA), (Lines{"pt_p2p_cfg 0 38000000000"}));
  EXPECT_TRUE(received(kGpuB).empty());
}

// Under systemd: every line with its priority, no escape codes; the same
// pass as above.
TEST_F(WatchTest, TheJournalGetsEachLinesPriorityAndNoEscapeCodes) {
  storePair();
  startWatch({}, true);
  bindPair();
  guest_.markVanished(kGpuB, false);
  createNode("tamberon0");
  awaitOutput(3);
  EXPECT_EQ(daemon_->out(), "<4> OFFLINE:  GPU 0000:00:06.0 is dropped.\n<6>" +
                                leftOut(kGpuA, "0000:3e:00.0") + "<6>" + success(kGpuA, 1));
}

// Every GPU here is bound; 0000:00:10.0 to 0000:00:1e.0 form a group of 15,
// the most a file holds (31 words), and learn all of it.
TEST_F(WatchTest, MalformedPeerFilesAreReportedAndSkipped) {
  const struct {
    const char* gpu;
    std::string bytes;
  } cases[] = {
      {"0000:00:07.0", ""},                                                  // empty
      {"0000:00:08.0", std::string("\x00\x3d\x00\x00\x05\x00\x00\x00", 8)},  // 5 words promised
      {"0000:00:09.0",
       std::string("\x00\x3d\x00\x00\x21\x00\x00\x00", 8) + std::string(32 * 8, '\0')},  // 33 words
  };
  std::string expected;
  for (const auto& c : cases) {
    guest_.addGpu(c.gpu, "pci0000:00");
    guest_.bindDriver(c.gpu, std::to_string(c.gpu[9] - '0'));
    storePeerBytes(c.gpu, c.bytes);
    expected += notProgrammed(c.gpu, peerProblem(c.gpu, "is malformed"));
  }
  std::vector<std::pair<uint64_t, uint64_t>> group;
  std::vector<std::string> gpus;
  Lines lines;
  for (unsigned i = 0; i < 15; ++i) {
    char gpu[16], bar[32];
    snprintf(gpu, sizeof gpu, "0000:00:%02x.0", 0x10 + i);
    gpus.push_back(gpu);
    group.push_back({0x4000 + 0x100 * i, 0x40000000000 + (uint64_t{i} << 32)});
    snprintf(bar, sizeof bar, "%llX", static_cast<unsigned long long>(group.back().second));
    lines.push_back("pt_p2p_cfg " + std::to_string(16 + i) + " " + bar);
    expected += success(gpu, 15);
  }
  for (unsigned i = 0; i < 15; ++i) {
    guest_.addGpu(gpus[i], "pci0000:00");
    guest_.bindDriver(gpus[i], std::to_string(16 + i));
    storePeerBytes(gpus[i], bytesOf(area(group[i].first, group)));
  }
  ASSERT_EQ(bytesOf(area(group[0].first, group)).size(), 31u * 8);
  startWatch();  // the start-up pass: 225 driver commands
  awaitOutput(18, 30000);
  EXPECT_EQ(daemon_->out(), expected);
  for (const auto& gpu : gpus) EXPECT_EQ(received(gpu), lines) << gpu;
  EXPECT_TRUE(received("0000:00:08.0").empty());
  EXPECT_TRUE(recorded("\tfailed\t0\t/etc/qz/vm_p2p_cfg/0000:00:07.0\t" +
                       peerProblem("0000:00:07.0", "is malformed") + "\n"));
  EXPECT_TRUE(daemon_->running());
}

TEST_F(WatchTest, AMissingDriverIsReportedAndTheDaemonKeepsWatching) {
  storePair();
  startWatch();
  storePeerBytes(kGpuA, kPairA);  // a stored file alone: no driver to program, no pass
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(daemon_->out(), "");
  createNode("tamberon0");
  awaitOutput(1);
  EXPECT_EQ(daemon_->out().find("Error: Cannot list /sys/bus/pci/drivers/tamberon"), 0u)
      << daemon_->out();
  // The driver binds its GPUs: the next node is served.
  bindPair();
  createNode("tamberon1");
  EXPECT_TRUE(eventually([&] { return received(kGpuB).size() == 2; })) << daemon_->out();
  EXPECT_EQ(received(kGpuA), kPairLines);
}

TEST_F(WatchTest, AMissingPeerDirectoryIsReportedAndThePassGoesOn) {
  startWatch();  // before the driver binds: no start-up pass
  bindPair();
  createNode("tamberon0");
  awaitOutput(2);
  const std::string missing = "is missing, and so is /etc/qz/vm_p2p_cfg/";
  EXPECT_EQ(daemon_->out(), notProgrammed(kGpuA, peerProblem(kGpuA, missing)) +
                                notProgrammed(kGpuB, peerProblem(kGpuB, missing)));
  EXPECT_TRUE(recorded("\tfailed\t0\t-\t" + peerProblem(kGpuA, missing) + "\n"));  // none found
  EXPECT_TRUE(received(kGpuA).empty());
  EXPECT_TRUE(daemon_->running());
}

// The driver has bound both while the daemon runs; then the peer files come,
// stored by p2ptool -r in the daemon's /etc, and no node: the files alone run
// the pass that programs both.
TEST_F(WatchTest, PeerFilesStoredWhileTheDaemonRunsAreServedWithoutANode) {
  const struct {
    const char* what;
    std::string stored_a;  // A's file at the start ("-": no /etc/qz at all)
    std::string first_pass;
    Lines b;  // all B received
  } rows[] = {
      {"no /etc/qz yet", "-",
       notProgrammed(kGpuA, peerProblem(kGpuA, "is missing, and so is /etc/qz/vm_p2p_cfg/")) +
           notProgrammed(kGpuB, peerProblem(kGpuB, "is missing, and so is /etc/qz/vm_p2p_cfg/")),
       kPairLines},
      {"A's own file malformed",
       "short",
       notProgrammed(kGpuA, peerProblem(kGpuA, "is malformed")) + leftOut(kGpuB, "0000:3d:00.0") +
           success(kGpuB, 1),
       {"pt_p2p_cfg 1 39000000000", "pt_p2p_cfg 0 38000000000", "pt_p2p_cfg 1 39000000000"}},
  };
  guest_.writeWindowWords(kGpuA, sim::kAreaOffset,
                          area(kHostA, {{kHostA, kBarA}, {kHostB, kBarB}}));
  guest_.writeWindowWords(kGpuB, sim::kAreaOffset,
                          area(kHostB, {{kHostA, kBarA}, {kHostB, kBarB}}));
  for (const auto& row : rows) {
    const sim::TempDir etc("p2p-etc");
    box_.etc_upper = etc.path();
    if (row.stored_a != "-") {
      storePeerBytes(kGpuA, row.stored_a);
      storePeerBytes(kGpuB, kPairB);
    }
    bindPair();
    startWatch();
    awaitOutput(2);
    sim::Sandbox joined = box_;
    joined.join = daemon_->pid();
    const sim::Result r = sim::run(joined, {systest::kP2ptool, "-r"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string out = row.first_pass + success(kGpuA, 2) + success(kGpuB, 2);
    awaitOutput(static_cast<size_t>(std::count(out.begin(), out.end(), '\n')));
    EXPECT_TRUE(eventually([&] { return received(kGpuB).size() >= row.b.size(); }));
    EXPECT_EQ(daemon_->out(), out) << row.what;
    EXPECT_EQ(received(kGpuA), kPairLines) << row.what;
    EXPECT_EQ(received(kGpuB), row.b) << row.what;
    daemon_.reset();
  }
}

TEST_F(WatchTest, AGpuWithoutAMinorIsNotProgrammedWithAnotherGroup) {
  storePeerBytes(kGpuB, kPairB);  // B is not bound: its file belongs to no GPU here
  startWatch();                   // before the driver binds: no start-up pass
  guest_.bindDriver(kGpuA, "0");
  fs::remove(guest_.dir(kGpuA) + "/minor");
  createNode("tamberon0");
  awaitOutput(4);
  EXPECT_EQ(daemon_->out(),
            foreign(kGpuB) +
                "Failed to open config file.\n"
                "/sys/bus/pci/drivers/tamberon/0000:00:05.0/minor: No such file or directory\n" +
                notProgrammed(kGpuA,
                              "minor file /sys/bus/pci/drivers/tamberon/"
                              "0000:00:05.0/minor: No such file or directory"));
  EXPECT_TRUE(received(kGpuA).empty());
}

TEST_F(WatchTest, AFailedDriverCommandIsNeverReportedAsSuccess) {
  storePair();
  startWatch();  // before the driver binds: no start-up pass
  guest_.bindDriver(kGpuA, "0", false);
  guest_.bindDriver(kGpuB, "1");
  const std::string control = guest_.dir(kGpuA) + "/itr_debug";
  fs::remove(control);
  fs::create_directory(control);  // the shell cannot write into a directory
  createNode("tamberon0");
  awaitOutput(2);
  EXPECT_NE(daemon_->out().find(std::string(kRedError) +
                                "Writing to "
                                "/sys/bus/pci/drivers/tamberon/0000:00:05.0/itr_debug failed\n"),
            std::string::npos)
      << daemon_->out();
  EXPECT_EQ(daemon_->out().find(kSuccess), daemon_->out().rfind(kSuccess));  // B's line only
  EXPECT_EQ(received(kGpuB).size(), 2u);
  EXPECT_TRUE(eventually([&] {
    return sim::readFile(run_ / "p2pwatch/status")
               .find(
                   "\tfailed\t0\t/etc/qz/vm_p2p_cfg/0000:00:05.0\twriting to "
                   "/sys/bus/pci/drivers/tamberon/0000:00:05.0/itr_debug failed\n") !=
           std::string::npos;
  }));
}

TEST_F(WatchTest, TheDaemonEndsWithStatusZeroWhenReadingEventsFails) {
  storePeerBytes(kGpuA, kPairA);
  // Two reads of the event queue succeed, the third fails.
  startWatch({{"LD_PRELOAD", P2P_FAILREAD_LIB},
              {"P2P_INOTIFY_READS_OK", "2"},
              {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
  guest_.bindDriver(kGpuA, "0");
  createNode("tamberon0");
  awaitOutput(2);
  EXPECT_TRUE(daemon_->running());
  createNode("tamberon1");
  awaitOutput(4);
  createNode("tamberon2");
  EXPECT_EQ(daemon_->waitForExit(5000), 0);
  EXPECT_EQ(daemon_->err(), "Error reading inotify events\n");
  const std::string pass = leftOut(kGpuA, "0000:3e:00.0") + success(kGpuA, 1);
  EXPECT_EQ(daemon_->out(), pass + pass);
}

TEST_F(WatchTest, AStartUpPassServesADriverLoadedBeforeTheDaemonFromAReadOnlyEtc) {
  storePair();
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
  storePair();
  startWatch();
  bindPair();
  for (int i = 0; i < 8; ++i) {
    createNode("tamberon" + std::to_string(i));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  awaitOutput(2);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(daemon_->outLines(), 2u) << daemon_->out();
  EXPECT_EQ(received(kGpuA), kPairLines);
}

TEST_F(WatchTest, ARebindingLeavesNoStaleEntries) {
  storePair();
  startWatch();
  bindPair();
  createNode("tamberon0");
  awaitOutput(2);
  // A leaves; B comes back under A's old minor.
  guest_.unbindDriver(kGpuA);
  guest_.unbindDriver(kGpuB);
  guest_.bindDriver(kGpuB, "0");
  createNode("tamberon1");
  awaitOutput(5);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // A's file is still there, but no bound GPU has A's minor any more.
  EXPECT_EQ(daemon_->out(), success(kGpuA, 2) + success(kGpuB, 2) + foreign(kGpuA) +
                                leftOut(kGpuB, "0000:3d:00.0") + success(kGpuB, 1));
  EXPECT_EQ(received(kGpuB), (Lines{"pt_p2p_cfg 0 39000000000"}));
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
  storePair();
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
  EXPECT_EQ(received(kGpuB), kPairLines);
}

TEST_F(WatchTest, AStuckControlFileIsEndedInTimeAndDiesWithTheDaemon) {
  storePair();
  bindPair();
  makeStuck(kGpuA);
  startWatch();
  const std::string control = "/sys/bus/pci/drivers/tamberon/0000:00:05.0/itr_debug";
  awaitOutput(3);
  EXPECT_EQ(daemon_->out(),
            kRedError + ("Writing to " + control + " took longer than 3000 ms, ended\n") +
                kRedError + "Writing to " + control + " failed\n" + success(kGpuB, 2));
  EXPECT_EQ(received(kGpuB).size(), 2u);  // B is served after A
  const std::string ours = dev_.path();   // mounted in this test's sandbox only
  EXPECT_TRUE(processesMentioning(control, ours).empty());
  createNode("tamberon0");
  ASSERT_TRUE(eventually([&] { return !processesMentioning(control, ours).empty(); }));
  daemon_->stop();  // while a shell hangs on the control file
  EXPECT_TRUE(eventually([&] { return processesMentioning(control, ours).empty(); }, 2000));
}

TEST_F(WatchTest, OnlyCheckedTextReachesTheShell) {
  // B is told a member at address 0 and one at all ones.
  storePeerBytes(kGpuA, kPairA);
  storePeerBytes(
      kGpuB,
      bytesOf(area(kHostB, {{kHostA, kBarA}, {kHostB, kBarB}, {0x3F00, 0}, {0x4000, ~0ULL}})));
  startWatch();
  constexpr char kGpuC[] = "0000:00:07.0";
  guest_.addGpu(kGpuC, "pci0000:00");
  bindPair();
  guest_.bindDriver(kGpuC, "1;touch${IFS}/tmp/p2p-hostile-minor");
  fs::create_directories(guest_.driverDir() + "/0000:00:zz.0");
  createNode("tamberon0");
  awaitOutput(6);
  for (const std::string& line : std::vector<std::string>{
           notProgrammed(kGpuC,
                         "minor file /sys/bus/pci/drivers/tamberon/0000:00:07.0/minor holds no "
                         "decimal number"),
           "Error: /sys/bus/pci/drivers/tamberon/0000:00:zz.0 is not named by a PCI address, "
           "skipping it\n",
           "Error: Peer configuration file /etc/qz/vm_p2p_cfg/0000:00:06.0 gives member 3F00 the "
           "address 0, skipping it\n",
           "Error: Peer configuration file /etc/qz/vm_p2p_cfg/0000:00:06.0 gives member 4000 the "
           "address FFFFFFFFFFFFFFFF, skipping it\n"})
    EXPECT_TRUE(contains(line)) << line << daemon_->out();
  EXPECT_FALSE(contains("Failed to open config file.\n")) << daemon_->out();  // C's opened
  EXPECT_FALSE(fs::exists("/tmp/p2p-hostile-minor"));
  EXPECT_TRUE(received(kGpuC).empty());
  EXPECT_EQ(received(kGpuB), kPairLines);
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
