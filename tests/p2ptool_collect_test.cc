// p2ptool --collect and its replay (p2psim build --from): the archive holds
// what the tool reads and nothing else, collecting changes nothing, and a
// replayed snapshot gives the report the machine gave and takes the modes as
// the machine would.
#include <nlohmann/json.hpp>

#include <cstdlib>

#include "tests/sim/config_space.h"
#include "tests/sim/snapshot.h"
#include "tests/system_fixture.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr char kP2psim[] = P2P_BIN_DIR "/p2psim";
constexpr char kSnapshotDir[] = P2P_SOURCE_DIR "/tests/snapshots";
constexpr const char* kIgnored[] = {"time", "hostname", "version"};

// The report without what changes between two runs on one machine.
json comparable(json document) {
  if (document.is_object())
    for (const char* key : kIgnored) document.erase(key);
  if (document.is_structured())
    for (auto& member : document) member = comparable(member);
  return document;
}

json reportOf(const sim::Sandbox& box) {
  const sim::Result r = sim::run(box, {systest::kP2ptool, "-s", "--json"});
  return comparable(json::parse(r.out));
}

// Every file below `root` with its bytes.
std::map<std::string, std::string> bytesBelow(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    files[entry.path()] = entry.is_regular_file() ? sim::readFile(entry.path()) : "";
  return files;
}

class CollectTest : public systest::FabricTest {
 protected:
  // The archive `p2ptool --collect -` writes over `box` (run as `uid`).
  sim::Result collect(sim::Sandbox box, const std::vector<std::string>& args = {}, uid_t uid = 0) {
    box.uid = box.gid = uid;
    std::optional<systest::ReachableCopy> copy;
    if (uid != 0) copy.emplace(systest::kP2ptool);
    std::vector<std::string> argv = {copy ? copy->path() : systest::kP2ptool, "--collect", "-"};
    argv.insert(argv.end(), args.begin(), args.end());
    return sim::run(box, argv);
  }
  std::string save(const std::string& bytes) {
    return files_.write("snapshot" + std::to_string(saved_++) + ".tar.gz", bytes);
  }
  // The box of a snapshot replayed into a fresh directory.
  sim::Sandbox replay(const std::string& archive) {
    const std::string dir = files_ / ("replay" + std::to_string(saved_++));
    sim::replaySnapshot(archive, dir);
    sim::Sandbox box = box_;
    box.sys = dir + "/sys";
    box.etc_upper = dir + "/etc";
    box.run = dir + "/run";
    box.cpuinfo = dir + "/proc/cpuinfo";
    return box;
  }
  // Collects over `box`, changing nothing and starting no setpci, and checks
  // that the replay gives the same report; returns the replay's box.
  sim::Sandbox roundTrip(const sim::Sandbox& box, const std::string& fabric_dir) {
    const auto before = bytesBelow(fabric_dir);
    const size_t calls = setpci_.calls().size();
    const sim::Result r = collect(box);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(bytesBelow(fabric_dir) == before);
    EXPECT_EQ(setpci_.calls().size(), calls);
    const sim::Sandbox replayed = replay(save(r.out));
    EXPECT_EQ(reportOf(replayed), reportOf(box)) << fabric_dir;
    return replayed;
  }

  sim::TempDir files_{"p2p-collect"};
  int saved_ = 0;
};

TEST_F(CollectTest, EachHostPresetComesBackAndTakesTheModesAsTheMachine) {
  for (auto build : {sim::buildHostPreset, sim::buildQuadHostPreset, sim::buildRealHostPreset}) {
    sim::TempDir dir("p2p-preset");
    sim::Fabric fabric(dir.path());
    build(fabric);
    sim::Sandbox box = box_;
    box.sys = fabric.sysDir();
    sim::Sandbox replayed = roundTrip(box, dir.path());
    for (const char* mode : {"", "-w"}) {
      std::vector<std::string> argv = {systest::kP2ptool};
      if (*mode) argv.push_back(mode);
      // The replay leaves undone exactly what the machine leaves undone.
      const sim::Result machine = sim::run(box, argv);
      EXPECT_EQ(sim::run(replayed, argv).status, machine.status) << mode;
      EXPECT_LE(machine.status, 1) << mode;
    }
    const json after = reportOf(replayed);
    EXPECT_EQ(after, reportOf(box));
    // Group 0000:3b:00.0, in each preset; the real host's board keeps ReqRedir on its own ports.
    json state;
    for (const json& group : after.at("host").at("groups"))
      if (group.at("key") == "0000:3b:00.0") state = group.at("state");
    EXPECT_EQ(state, "ready");
  }
}

TEST_F(CollectTest, EachGuestPresetComesBackWithItsPeerFilesAndRecord) {
  sim::buildHostPreset(host_);
  {  // Before -w no GPU of a q35 guest tells: its CPU's flag comes along.
    sim::TempDir dir("p2p-q35");
    sim::Fabric q35(dir.path());
    sim::buildQ35GuestPreset(q35, host_);
    sim::Sandbox box = box_;
    box.sys = q35.sysDir();
    box.cpuinfo = q35.cpuinfoPath();
    EXPECT_EQ(reportOf(roundTrip(box, dir.path())).at("role_evidence"),
              "no GPU tells; the CPU has the hypervisor flag");
  }
  ASSERT_EQ(tool().status, 0);
  ASSERT_EQ(tool({"-w"}).status, 0);
  for (auto build : {sim::buildQ35GuestPreset, +[](sim::Fabric&g, const sim::Fabric&h) {
                       return sim::buildGuestPreset(g, h);
                     }}) {
    sim::TempDir dir("p2p-guest"), etc("p2p-guest-etc"), run("p2p-guest-run");
    sim::Fabric guest(dir.path());
    const auto pairs = build(guest, host_);
    sim::Sandbox box = box_;
    box.sys = guest.sysDir();
    box.etc_upper = etc.path();
    box.run = run.path();
    ASSERT_EQ(sim::run(box, {systest::kP2ptool, "-r"}).status, 0);
    for (size_t i = 0; i < pairs.size(); ++i)  // itr_debug a FIFO: a read of it would hang
      guest.bindDriver(pairs[i].first, std::to_string(i));
    {
      systest::Daemon watch(box, {systest::kP2pwatch});
      ASSERT_TRUE(systest::eventually([&] { return fs::exists(run / "p2pwatch/status"); }));
    }
    // One peer file changed after the pass: the times come along.
    const std::string peer = etc / (std::string(systest::kPeerDir) + "/" + pairs[0].first);
    fs::last_write_time(peer, fs::last_write_time(run / "p2pwatch/status") + std::chrono::hours(1));
    const json report = reportOf(roundTrip(box, dir.path()));
    EXPECT_EQ(report.at("guest").at("gpus").at(0).at("p2pwatch").at("peer_file_newer"), true);
    EXPECT_EQ(report.at("guest").at("gpus").at(1).at("state"), "ready");
  }
}

TEST_F(CollectTest, TheArchiveHoldsWhatTheToolReadsAndNothingElse) {
  sim::buildRealHostPreset(host_);
  setenv("SOURCE_DATE_EPOCH", "0", 1);
  const sim::Result first = collect(box_), second = collect(box_);
  const sim::Result named = collect(box_, {"--with-hostname"});
  unsetenv("SOURCE_DATE_EPOCH");
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.out, second.out);                         // the same machine, the same bytes
  EXPECT_EQ(first.out.substr(4, 4), std::string(4, '\0'));  // no time in the gzip header
  const auto members = sim::readSnapshot(save(first.out));
  const json status = json::parse(members.at("meta/status.json").data.at(0));
  EXPECT_EQ(systest::isoSeconds(status.at("time")), 0);  // the check's time is fixed too
  const std::string gpu = host_.devicePath("0000:c4:00.0").substr(1);
  for (const auto& [name, member] : members) {
    EXPECT_EQ(name.find("0000:3f:00.0"), std::string::npos) << "another vendor's function";
    EXPECT_EQ(name.find("itr_debug"), std::string::npos);
  }
  std::vector<uint8_t> config(sim::kConfigSize);
  const std::string& bytes = members.at(gpu + "/config").data.at(0);
  std::copy(bytes.begin(), bytes.end(), config.begin());
  const int serial = sim::findExtCapability(config, sim::kExtCapIdSerialNumber);
  ASSERT_GT(serial, 0);  // the header stays, the number goes
  EXPECT_EQ(sim::getLe(config, static_cast<size_t>(serial) + 4, 8), 0u);
  const std::string lspci = members.at("meta/lspci-vvv.txt").data.at(0);
  EXPECT_NE(lspci.find("Serial Number 00-00-00-00-00-00-00-00"), std::string::npos);
  EXPECT_EQ(lspci.find("e4-f5"), std::string::npos);
  EXPECT_EQ(lspci.find("0000:3f:00.0"), std::string::npos);
  // The exchange area and the one register board detection reads, holes elsewhere.
  const auto& window = members.at(gpu + "/resource0");
  EXPECT_EQ(window.size, sim::kDefaultWindowSize);
  EXPECT_EQ(window.data.begin()->first, sim::kAreaOffset);
  EXPECT_EQ(window.data.size(), 1u);
  const auto& registers = members.at(gpu + "/resource2");
  EXPECT_EQ(registers.size, sim::kRegisterWindowSize);
  ASSERT_EQ(registers.data.size(), 1u);
  EXPECT_EQ(registers.data.begin()->first, sim::kRegBoardProduct);
  EXPECT_EQ(members.at("meta/version").data.at(0), "p2ptool " P2P_VERSION "\n");
  EXPECT_EQ(members.at("meta/collected").data.at(0), "1970-01-01T00:00:00Z\n");
  EXPECT_EQ(members.count("meta/not-collected") + members.count("meta/hostname"), 1u);
  const auto named_members = sim::readSnapshot(save(named.out));
  EXPECT_EQ(named_members.count("meta/hostname"), 1u);
  EXPECT_FALSE(status.contains("hostname"));  // the machine is named only when asked
  EXPECT_TRUE(json::parse(named_members.at("meta/status.json").data.at(0)).contains("hostname"));
}

TEST_F(CollectTest, AnotherUserCollectsWhatItCanReadAndNamesTheRest) {
  sim::buildHostPreset(host_);
  const sim::Result r = collect(box_, {}, systest::kNobody);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string window = host_.devicePath("0000:3d:00.0") + "/resource0";
  EXPECT_NE(r.err.find("not collected: " + window + ": Permission denied\n"), std::string::npos)
      << r.err;
  const auto members = sim::readSnapshot(save(r.out));
  const std::string config = host_.devicePath("0000:3d:00.0") + "/config";
  const std::string& notes = members.at("meta/not-collected").data.at(0);
  EXPECT_NE(notes.find(window + ": Permission denied\n"), std::string::npos);
  EXPECT_NE(notes.find(config + ": only its first 64 bytes are shown to this user\n"),
            std::string::npos);
  EXPECT_EQ(members.at(config.substr(1)).size, 64u);
  EXPECT_EQ(reportOf(replay(save(r.out)))["state"], "unknown");  // as it was for that user
}

TEST_F(CollectTest, UsageErrorsExitWithTwoAndAnUnwritableArchiveWithOne) {
  for (const auto& args : {std::vector<std::string>{"--collect", "x", "-w"},
                           {"--collect", "x", "-s"},
                           {"--collect", "x", "-r"},
                           {"--collect", "x", "--force"},
                           {"--collect", "x", "--json"},
                           {"--with-hostname"},
                           {"--collect", ""},
                           {"--collect"}}) {
    const sim::Result r = tool(args, host_, systest::kNobody);
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_EQ(r.out, "");
  }
  fs::permissions(files_.path(), fs::perms(0755));  // nobody may not write there
  const std::string archive = files_ / "snapshot.tar.gz";
  const sim::Result r = tool({"--collect", archive}, host_, systest::kNobody);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err.rfind("Error: cannot write the archive " + archive + ": Permission denied\n", 0),
            0u)
      << r.err;
  ASSERT_EQ(tool({"--collect", archive}).status, 0);
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(files_.path()), {}),
            std::vector<fs::path>{archive});  // in place, no temporary file left
  EXPECT_EQ(fs::status(archive).permissions(), fs::perms(0644));
}

// Each snapshot under tests/snapshots (scripts/snapshots makes them) replays,
// through p2psim, to the report it holds.
TEST(SnapshotFixtureTest, EachSnapshotReplaysToTheReportItHolds) {
  P2P_REQUIRE_SANDBOX();
  size_t count = 0;
  for (const auto& file : fs::directory_iterator(kSnapshotDir)) {
    sim::TempDir dir("p2p-fixture");
    const std::string replayed = dir / "replay";
    const sim::Result build = sim::run({}, {kP2psim, "build", replayed, "--from", file.path()});
    ASSERT_EQ(build.status, 0) << build.err;
    const sim::Result r =
        sim::run({}, {kP2psim, "run", "--sys", replayed, "--", systest::kP2ptool, "-s", "--json"});
    const json stored = json::parse(sim::readFile(replayed + "/meta/status.json"));
    EXPECT_EQ(comparable(json::parse(r.out)), comparable(stored)) << file.path();
    ++count;
  }
  EXPECT_GE(count, 2u);
  sim::TempDir dir("p2p-fixture");
  const sim::Result refused = sim::run({}, {kP2psim, "build", dir / "x", "--from", kP2psim});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("refused: cannot read it"), std::string::npos) << refused.err;
}

}  // namespace
