// p2ptool's write mode on a host fabric and read mode in a guest whose GPUs
// share their memory windows with the host's (simulated passthrough).
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "tests/sim/guest_process.h"
#include "tests/sim/presets.h"
#include "tests/system_fixture.h"

namespace {

namespace fs = std::filesystem;
using sim::readFile;
using systest::expectedArea;

constexpr char kOpenError[] = "\033[31mError:\033[0m Failed to open ";
// What -w says of the preset's GPU in no group.
constexpr char kNoGroup86[] =
    "GPU 0000:86:00.0 sits directly below root port 0000:85:00.0: in no group, no exchange table "
    "written\n";

std::string bytesOf(const std::vector<uint64_t>& words) {
  return std::string(reinterpret_cast<const char*>(words.data()), words.size() * 8);
}

class WriteModeTest : public systest::FabricTest {
 protected:
  void SetUp() override {
    FabricTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    sim::buildHostPreset(host_);
  }

  std::map<std::string, uint64_t> groupOf(const std::vector<std::string>& gpus) {
    std::map<std::string, uint64_t> group;
    for (const auto& gpu : gpus) group[gpu] = host_.bar0(gpu);
    return group;
  }

  // Every GPU of `gpus` carries its area, and nothing follows it.
  void expectAreas(const std::vector<std::string>& gpus,
                   const std::vector<std::string>& skip = {}) {
    const auto group = groupOf(gpus);
    for (const auto& gpu : gpus) {
      if (std::find(skip.begin(), skip.end(), gpu) != skip.end()) continue;
      const auto expected = expectedArea(gpu, group);
      EXPECT_EQ(host_.readWindowWords(gpu, sim::kAreaOffset, expected.size() + 1), [&] {
        auto w = expected;
        w.push_back(0);
        return w;
      }()) << gpu;
    }
  }
  bool areaUntouched(const std::string& gpu) {
    const auto bytes = host_.readWindow(gpu, sim::kAreaOffset, sim::kAreaSpan);
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
  }
};

TEST_F(WriteModeTest, EveryGroupedGpuCarriesItsGroup) {
  const sim::Result r = tool({"-w"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kNoGroup86);
  expectAreas({"0000:3d:00.0", "0000:3e:00.0"});
  expectAreas({"0000:60:00.0", "0000:61:00.0"});
  expectAreas({"0000:1c:00.0", "0000:1d:00.0"});
  EXPECT_TRUE(areaUntouched("0000:86:00.0"));  // below a root port: in no group
  EXPECT_TRUE(acsCalls().empty());             // the write mode switches no ACS
  EXPECT_EQ(host_.acsControl("0000:3c:08.0"), sim::kDefaultAcsControl);
}

// Standard output a pipe whose reader is gone: the messages are lost, no table.
TEST_F(WriteModeTest, ABrokenOutputPipeStopsNoWork) {
  box_.stdout_reader_gone = true;
  const sim::Result r = tool({"-w"});
  EXPECT_EQ(r.status, 0) << r.err;
  expectAreas({"0000:3d:00.0", "0000:3e:00.0"});
  expectAreas({"0000:60:00.0", "0000:61:00.0"});
  expectAreas({"0000:1c:00.0", "0000:1d:00.0"});
}

TEST_F(WriteModeTest, AWindowThatCannotBeOpenedIsReportedAndStillListed) {
  fs::remove(host_.dir("0000:3e:00.0") + "/resource0");
  const sim::Result r = tool({"-w"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kNoGroup86 + (kOpenError + host_.devicePath("0000:3e:00.0")) +
                       "/resource0\nGPU 0000:3e:00.0: No such file or directory\n");
  expectAreas({"0000:3d:00.0", "0000:3e:00.0"}, {"0000:3e:00.0"});
}

// The largest group an area holds (15 GPUs: 31 words) and one past it.
TEST_F(WriteModeTest, AGroupTooLargeForTheAreaIsRefused) {
  const struct {
    unsigned root_bus;
    int size;
    bool written;
  } rows[] = {{0xa0, 15, true}, {0xc0, 16, false}};
  std::vector<std::vector<std::string>> groups;
  for (const auto& row : rows) {
    char root[32], bridge[32], upstream[32];
    snprintf(root, sizeof root, "0000:%02x:00.0", row.root_bus);
    snprintf(bridge, sizeof bridge, "pci0000:%02x", row.root_bus);
    snprintf(upstream, sizeof upstream, "0000:%02x:00.0", row.root_bus + 1);
    std::vector<std::string> downs, gpus;
    for (int i = 0; i < row.size; ++i) {
      char down[32], gpu[32];
      snprintf(down, sizeof down, "0000:%02x:%02x.0", row.root_bus + 2, i);
      snprintf(gpu, sizeof gpu, "0000:%02x:00.0", row.root_bus + 3 + i);
      downs.push_back(down);
      gpus.push_back(gpu);
    }
    host_.addRootPort(root, bridge);
    host_.addSwitch(root, upstream, downs);
    for (int i = 0; i < row.size; ++i) host_.addGpu(gpus[i], downs[i]);
    groups.push_back(gpus);
  }
  const sim::Result r = tool({"-w"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, std::string(kNoGroup86) +
                       "\033[31mError:\033[0m Group 0000:c1:00.0 has 16 GPUs, more than the 15 an "
                       "exchange area holds; nothing written for it\n");
  expectAreas(groups[0]);
  EXPECT_EQ(host_.readWindowWords(groups[0][0], sim::kAreaOffset, 1)[0] >> 32, 31u);
  for (const auto& gpu : groups[1]) EXPECT_TRUE(areaUntouched(gpu)) << gpu;
  expectAreas({"0000:3d:00.0", "0000:3e:00.0"});  // other groups go on
}

TEST_F(WriteModeTest, GpusNoTableCanCarryAreReportedAndLeftOut) {
  // A VMD-style domain: addresses that do not pack into 32 bits.
  host_.addRootPort("10000:00:01.0", "pci10000:00");
  host_.addSwitch("10000:00:01.0", "10000:01:00.0", {"10000:02:08.0", "10000:02:10.0"});
  host_.addGpu("10000:03:00.0", "10000:02:08.0");
  host_.addGpu("10000:04:00.0", "10000:02:10.0");
  // Device 8 on bus c4 packs like device 0 on bus c5.
  host_.addRootPort("0000:c0:00.0", "pci0000:c0");
  host_.addSwitch("0000:c0:00.0", "0000:c1:00.0", {"0000:c2:08.0", "0000:c2:10.0"});
  host_.addGpu("0000:c4:08.0", "0000:c2:08.0");
  host_.addGpu("0000:c5:00.0", "0000:c2:10.0");
  // A 32-bit BAR0 beside a non-zero BAR1, and a BAR0 the firmware never assigned.
  host_.writeConfig("0000:60:00.0", 0x10, 8, 0x0000009190000000);
  host_.writeConfig("0000:61:00.0", 0x10, 8, 0);
  host_.addGpu("0000:00:05.0", "pci0000:00");  // on a root bus
  const std::string in_use = host_.bindVfio("0000:3e:00.0", 3, dev_.path());
  const auto guest = this->guest(in_use);
  const sim::Result r = tool({"-w"});
  EXPECT_EQ(r.status, 1) << r.err;
  const std::string error = "\033[31mError:\033[0m GPU";
  for (const std::string& line :
       {error + " 10000:03:00.0: its PCI address does not fit the 32-bit self field",
        error + " 10000:04:00.0: its PCI address does not fit the 32-bit self field",
        std::string("GPUs 0000:c4:08.0 and 0000:c5:00.0 of group 0000:c1:00.0 both pack to c500"),
        error + " 0000:61:00.0: BAR0 reads 0, not an assigned address", std::string(kNoGroup86),
        std::string("GPU 0000:00:05.0 sits on the root bus of pci0000:00: in no group"),
        "GPU 0000:3e:00.0 is in use by a running guest (process " + std::to_string(guest->pid())})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << " in\n" << r.out;
  // Every GPU left without a table is named once.
  for (const char* gpu : {"10000:03:00.0", "10000:04:00.0", "0000:c4:08.0", "0000:c5:00.0",
                          "0000:61:00.0", "0000:86:00.0", "0000:00:05.0", "0000:3e:00.0"}) {
    EXPECT_TRUE(areaUntouched(gpu)) << gpu;
    EXPECT_EQ(r.out.find(gpu), r.out.rfind(gpu)) << gpu << " in\n" << r.out;
  }
  EXPECT_EQ(host_.readWindowWords("0000:60:00.0", sim::kAreaOffset, 3),
            expectedArea("0000:60:00.0", {{"0000:60:00.0", 0x90000000}}));
  expectAreas({"0000:3d:00.0", "0000:3e:00.0"}, {"0000:3e:00.0"});  // listed though in use
  expectAreas({"0000:1c:00.0", "0000:1d:00.0"});
}

TEST_F(WriteModeTest, AWindowTooShortToMapFailsTheRun) {
  fs::resize_file(host_.dir("0000:3e:00.0") + "/resource0", 0x1000);
  const sim::Result r = tool({"-w"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Map device memmory failed!\nGPU 0000:3e:00.0: Invalid argument\n"),
            std::string::npos)
      << r.out;
  expectAreas({"0000:3d:00.0", "0000:3e:00.0"}, {"0000:3e:00.0"});
}

// The cause alone, the other groups written.
TEST_F(WriteModeTest, AGpuLeftOutOfEveryTableFailsTheRun) {
  host_.writeConfig("0000:61:00.0", 0x10, 8, 0);
  EXPECT_EQ(tool({"-w"}).status, 1);
  expectAreas({"0000:3d:00.0", "0000:3e:00.0"});
}

TEST_F(WriteModeTest, DualChipBoardsInRootPortsAreGroupedByTheirOwnSwitch) {
  for (const char* bus : {"c", "d"}) {
    const std::string p = std::string("0000:") + bus;
    host_.addRootPort(p + "0:01.0", "pci" + p + "0");
    host_.addDualChipBoard(p + "0:01.0", p + "1:00.0", {p + "2:00.0", p + "2:08.0"},
                           {p + "3:00.0", p + "4:00.0"});
  }
  const sim::Result r = tool({"-w"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kNoGroup86);
  expectAreas({"0000:c3:00.0", "0000:c4:00.0"});
  expectAreas({"0000:d3:00.0", "0000:d4:00.0"});
  expectAreas({"0000:1c:00.0", "0000:1d:00.0"});
}

TEST_F(WriteModeTest, WriteAndReadTogetherRunTheWriteModeOnly) {
  EXPECT_EQ(tool({"-w", "-r"}).status, 0);
  expectAreas({"0000:3d:00.0", "0000:3e:00.0"});
  EXPECT_FALSE(fs::exists(etc_.path() + "/qz"));
}

// A guest of the host preset: one GPU on the root bus per grouped host GPU.
class ReadModeTest : public WriteModeTest {
 protected:
  void SetUp() override {
    WriteModeTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    pairs_ = sim::buildGuestPreset(guest_, host_);
  }
  sim::Result guestTool(const std::vector<std::string>& args = {"-r"}) {
    return tool(args, guest_);
  }
  std::vector<std::string> storedNames() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(etc_.path() + "/" + systest::kPeerDir))
      names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Every guest GPU's peer file holds its host GPU's area, and nothing else is stored.
  void expectStored(const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::vector<std::string> expected_names;
    for (const auto& [guest_gpu, host_gpu] : pairs) {
      expected_names.push_back(guest_gpu);
      const uint64_t count = host_.readWindowWords(host_gpu, sim::kAreaOffset, 1)[0] >> 32;
      const auto area = host_.readWindowWords(host_gpu, sim::kAreaOffset, count);
      EXPECT_EQ(readFile(peerFile(guest_gpu)), bytesOf(area)) << guest_gpu;
      EXPECT_EQ(area[0] & 0xffffffff, sim::packBdf(host_gpu));
    }
    EXPECT_EQ(storedNames(), expected_names);  // and no temporary file left over
  }

  sim::TempDir guest_dir_{"p2p-guest"};
  sim::Fabric guest_{guest_dir_.path()};
  std::vector<std::pair<std::string, std::string>> pairs_;
};

TEST_F(ReadModeTest, TheGuestStoresTheAreasTheHostWrote) {
  ASSERT_EQ(tool({"-w"}).status, 0);
  const sim::Result r = guestTool();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  expectStored(pairs_);

  struct stat st {};
  ASSERT_EQ(stat(peerFile(pairs_[0].first).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  std::map<std::string, std::string> first;
  for (const auto& name : storedNames()) first[name] = readFile(peerFile(name));
  ASSERT_EQ(guestTool().status, 0);
  for (const auto& [name, bytes] : first) EXPECT_EQ(readFile(peerFile(name)), bytes) << name;
  EXPECT_EQ(storedNames().size(), first.size());
}

// -r where the machine looks like a host says so, naming the evidence, and
// stores all the same; --guest (the guest unit's) and a guest's own evidence
// keep it quiet. The plan says the role, each GPU with its side and the host
// GPU its table is of; so does every message of the run.
TEST_F(ReadModeTest, OnWhatLooksLikeAHostItWarnsAndStillStores) {
  ASSERT_EQ(tool({"-w"}).status, 0);
  const std::string warning = "\033[31mWARNING:\033[0m This machine looks like a host (",
                    stores = "): p2ptool -r is for guests; it stores the peer files all the same\n",
                    runs = ": p2ptool -r is for guests; it runs all the same\n",
                    no_table =
                        "\033[31mError:\033[0m The window of card %s 0000:86:00.0 holds no "
                        "exchange table (word count 0): run `p2ptool -w` on the host "
                        "first; its peer file is left as it is\n",
                    table =
                        ": new -> stored: table of 5 words, self 0x00001c00 (host "
                        "0000:1c:00.0)\n",
                    below_switches =
                        "GPUs below switches whose tables name themselves or hold none";
  const auto noTable = [&](const char* side) {
    std::string line = no_table;
    return line.replace(line.find("%s"), 2, side);
  };
  const struct {
    const char* name;
    const sim::Fabric& fabric;
    std::vector<std::string> args;
    std::string role_line;  // of the plan
    std::string gpu_line;   // of the plan: its first GPU
    std::string out;        // of the run
  } rows[] = {
      {"a host",
       host_,
       {},
       "Role: host (" + below_switches + ")" + runs,
       "  host 0000:1c:00.0" + table,
       warning + below_switches + stores + noTable("host")},
      {"a host told so",
       host_,
       {"--host"},
       "Role: host (--host given)" + runs,
       "  host 0000:1c:00.0: unchanged\n",
       warning + "--host given" + stores + noTable("host")},
      {"a host taken for a guest",
       host_,
       {"--guest"},
       "Role: guest (--guest given)\n",
       "  guest 0000:1c:00.0: unchanged\n",
       noTable("guest")},
      {"a guest",
       guest_,
       {},
       "Role: guest (the exchange table of guest 0000:00:05.0 names host 0000:1c:00.0)\n",
       "  guest 0000:00:05.0" + table,
       ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> args = {"-r"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    args.push_back("-n");
    const std::string plan = tool(args, row.fabric).out;
    EXPECT_NE(plan.find("\n" + row.role_line + "Peer files in "), std::string::npos) << plan;
    EXPECT_NE(plan.find(":\n" + row.gpu_line), std::string::npos) << plan;
    args.push_back("--json");
    const auto read = nlohmann::json::parse(tool(args, row.fabric).out)["read"];
    EXPECT_NE(row.role_line.find(read["role"].get<std::string>() + " (" +
                                 read["role_evidence"].get<std::string>() + ")"),
              std::string::npos);
    EXPECT_EQ(read["files"][0]["self_host_bdf"], "0000:1c:00.0");
    args.resize(args.size() - 2);
    const sim::Result r = tool(args, row.fabric);
    EXPECT_EQ(r.status, row.out.empty() ? 0 : 1);
    EXPECT_EQ(r.out, row.out);
    EXPECT_TRUE(fs::is_regular_file(peerFile(row.fabric.gpus()[0])));
  }
}

TEST_F(ReadModeTest, AQ35GuestWithGpusBehindRootPortsStoresEveryArea) {
  sim::TempDir q35_dir{"p2p-q35"};
  sim::Fabric q35(q35_dir.path());
  const auto pairs = sim::buildQ35GuestPreset(q35, host_);
  ASSERT_EQ(pairs.size(), pairs_.size());
  ASSERT_EQ(tool({"-w"}).status, 0);
  const sim::Result r = tool({"-r"}, q35);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  expectStored(pairs);
}

TEST_F(ReadModeTest, WordCountsDecideWhatIsStored) {
  const std::string offline = pairs_[0].first, abnormal = pairs_[1].first, full = pairs_[2].first,
                    empty = pairs_[3].first;
  std::vector<uint64_t> words(32, 0x1111);
  words[0] = 32ULL << 32 | 0x3d00;
  guest_.writeWindowWords(full, sim::kAreaOffset, words);
  guest_.writeWindowWords(offline, sim::kAreaOffset, {~0ULL});
  guest_.writeWindowWords(abnormal, sim::kAreaOffset, {33ULL << 32 | 0x3e00});
  guest_.writeWindowWords(empty, sim::kAreaOffset, {0x6000});
  fs::create_directories(etc_.path() + "/" + systest::kPeerDir);
  std::ofstream(peerFile(offline)) << "left from an earlier run";
  std::ofstream(peerFile(empty)) << "a good file from an earlier run";

  const sim::Result r = guestTool();
  EXPECT_EQ(r.status, 1) << r.err;  // the full table is stored all the same
  EXPECT_NE(r.out.find("\033[31mOffline:\033[0m Failed to open card guest " + offline + "\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\033[31mError:\033[0m The resource0 of card guest " + abnormal +
                       " is abnormal and skiping this card ...\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(readFile(peerFile(offline)), "left from an earlier run");
  EXPECT_FALSE(fs::exists(peerFile(abnormal)));
  EXPECT_EQ(readFile(peerFile(full)), bytesOf(words));
  // Count 0: the host never wrote the window; the earlier file stays.
  EXPECT_NE(r.out.find("\033[31mError:\033[0m The window of card guest " + empty +
                       " holds no exchange table (word count 0): run `p2ptool -w` on the host "
                       "first; its peer file is left as it is\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(readFile(peerFile(empty)), "a good file from an earlier run");
}

TEST_F(ReadModeTest, AWindowThatCannotBeOpenedGivesNoFile) {
  ASSERT_EQ(tool({"-w"}).status, 0);
  const std::string gpu = pairs_[0].first;
  fs::remove(guest_.dir(gpu) + "/resource0");
  const sim::Result r = guestTool();
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, kOpenError + guest_.devicePath(gpu) + "/resource0\nGPU guest " + gpu +
                       ": No such file or directory\n");
  EXPECT_FALSE(fs::exists(peerFile(gpu)));
  EXPECT_TRUE(fs::exists(peerFile(pairs_[1].first)));
}

TEST_F(ReadModeTest, AShortWindowIsSkippedWithTheMappingMessage) {
  ASSERT_EQ(tool({"-w"}).status, 0);
  const std::string gpu = pairs_[0].first;
  fs::resize_file(guest_.dir(gpu) + "/resource0", 0x1000);  // shorter than the area's place
  const sim::Result r = guestTool();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Map device memmory failed!\nGPU guest " + gpu + ": Invalid argument\n"),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(fs::exists(peerFile(gpu)));
}

TEST_F(ReadModeTest, ADirectoryThatCannotBeMadeIsReportedAndNothingStored) {
  ASSERT_EQ(tool({"-w"}).status, 0);
  std::ofstream(etc_.path() + "/qz") << "a file where the directory should be";
  const sim::Result plan = guestTool({"-n", "-r"});
  EXPECT_EQ(plan.status, 1);
  EXPECT_NE(plan.out.find("Peer files in /etc/qz/vm_p2p_cfg/ (cannot be made):\n  guest " +
                          pairs_[0].first + ": left alone: /etc/qz is no directory; left undone\n"),
            std::string::npos)
      << plan.out;
  const sim::Result r = guestTool();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("/etc/qz/vm_p2p_cfg/"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::is_regular_file(etc_.path() + "/qz"));
}

TEST_F(ReadModeTest, AFailedStoreKeepsWhatWasThereAndLeavesNoTemporaryFile) {
  ASSERT_EQ(tool({"-w"}).status, 0);
  const std::string gpu = pairs_[0].first;
  fs::create_directories(peerFile(gpu));  // a directory cannot be replaced by a file
  const sim::Result r = guestTool();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("\033[31mError:\033[0m failed to write configuration file!\nGPU guest " +
                       gpu + ": Is a directory\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(fs::is_directory(peerFile(gpu)));
  for (const auto& name : storedNames()) EXPECT_NE(name.find(':'), std::string::npos) << name;
}

// A run interrupted before its rename left a temporary file: the next run
// removes it, and only it (not a link of that name, nor its target, nor
// another name).
TEST_F(ReadModeTest, TheNextRunRemovesTheTemporaryFilesOfAnInterruptedOne) {
  ASSERT_EQ(tool({"-w"}).status, 0);
  const std::string dir = etc_.path() + "/" + systest::kPeerDir + "/";
  fs::create_directories(dir);
  for (const char* name : {".peer-Ab3xYz", ".peer-Ab3xY", "peer-Ab3xYz"})
    std::ofstream(dir + name) << "x";
  const std::string outside = etc_.path() + "/kept";
  std::ofstream(outside) << "x";
  fs::create_symlink(outside, dir + ".peer-L1nk00");
  ASSERT_EQ(guestTool().status, 0);
  EXPECT_FALSE(fs::exists(dir + ".peer-Ab3xYz"));
  for (const char* name : {".peer-Ab3xY", "peer-Ab3xYz", ".peer-L1nk00"})
    EXPECT_TRUE(fs::exists(fs::symlink_status(dir + name))) << name;
  EXPECT_EQ(readFile(outside), "x");
}

// Flushing the stored file or its directory fails: the file does not count
// as stored (an earlier one stays when the file itself was not flushed).
TEST_F(ReadModeTest, AStoredFileIsFlushedWithItsDirectory) {
  ASSERT_EQ(tool({"-w"}).status, 0);
  const std::string gpu = pairs_[0].first;
  fs::create_directories(etc_.path() + "/" + systest::kPeerDir);
  const struct {
    const char* failing;  // fnmatch pattern of the paths whose fsync fails
    bool earlier_kept;
  } rows[] = {{"*/.peer-*", true}, {"*/vm_p2p_cfg", false}};
  for (const auto& row : rows) {
    std::ofstream(peerFile(gpu)) << "earlier";
    const systest::FailingFsync failing(row.failing);
    const sim::Result r = guestTool();
    EXPECT_EQ(r.status, 1) << row.failing;
    EXPECT_NE(r.out.find("failed to write configuration file!\nGPU guest " + gpu +
                         ": Input/output error\n"),
              std::string::npos)
        << row.failing << r.out;
    EXPECT_EQ(readFile(peerFile(gpu)) == "earlier", row.earlier_kept) << row.failing;
  }
}

}  // namespace
