// p2ptool -n against the run that follows it, on twin fabrics: the plan of
// one equals the change lines (-v) of the real run on the other, and the
// other then differs from the first by exactly the plan's changes; the dry
// run itself changes no byte and starts no setpci that writes.
#include <nlohmann/json.hpp>

#include <regex>
#include <set>

#include "tests/system_fixture.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Files = std::map<std::string, std::string>;
using Lines = std::vector<std::string>;

constexpr char kPeerDirPath[] = "/etc/qz/vm_p2p_cfg/";

uint64_t number(const json& hex) { return std::stoull(hex.get<std::string>(), nullptr, 16); }

void put(std::string& bytes, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes.at(offset + i) = static_cast<char>(value >> (8 * i));
}

std::string bytesOf(const json& words) {
  std::string bytes(words.size() * 8, '\0');
  for (size_t i = 0; i < words.size(); ++i) put(bytes, 8 * i, number(words[i]), 8);
  return bytes;
}

// The file `name` of function `bdf` in a snapshot of `fabric`.
std::string& fileOf(Files& files, const sim::Fabric& fabric, const std::string& bdf,
                    const char* name) {
  return files.at(fs::relative(fabric.dir(bdf) + "/" + name, fabric.root()).string());
}

// A fabric's snapshot with the changes of `plan` made, worked out here.
Files planned(Files files, const json& plan, const sim::Fabric& fabric) {
  for (const json& gpu : plan["gpus"])
    for (const char* word : {"command", "power"})
      if (gpu["outcome"] == "change" && !gpu[word].is_null())
        put(fileOf(files, fabric, gpu["bdf"], "config"), number(gpu[word]["offset"]),
            number(gpu[word]["after"]), 2);
  for (const json& port : plan["ports"].is_null() ? json::array() : plan["ports"])
    if (port["outcome"] == "change")
      put(fileOf(files, fabric, port["port"], "config"), fabric.acsOffset(port["port"]) + 6,
          number(port["after"]["word"]), 2);
  if (!plan["write"].is_null())
    for (const json& table : plan["write"]["tables"])
      if (table["outcome"] == "change")
        fileOf(files, fabric, table["gpu"], "resource0")
            .replace(sim::kAreaOffset, table["words"].size() * 8, bytesOf(table["words"]));
  return files;
}

// A snapshot of the /etc upper directory with the peer files of `plan` stored.
Files plannedPeers(Files etc, const json& plan) {
  if (plan["read"].is_null()) return etc;
  const std::string dir = std::string(systest::kPeerDir) + "/";
  etc.emplace("qz", "");
  etc.emplace(systest::kPeerDir, "");
  for (const json& path : plan["read"]["leftovers"])
    etc.erase(dir + fs::path(path.get<std::string>()).filename().string());
  for (const json& file : plan["read"]["files"])
    if (file["outcome"] == "change")
      etc[dir + file["gpu"].get<std::string>()] = bytesOf(file["words"]);
  return etc;
}

std::string acsText(const json& control) {
  return control["word"].get<std::string>() + " (" + control["decoded"].get<std::string>() + ")";
}

// The change lines of -v that the plan announces, worked out here.
Lines changeLines(const json& plan) {
  Lines lines;
  for (const json& gpu : plan["gpus"])
    for (const auto& [word, name] :
         {std::pair{"command", "Command"}, {"power", "Power Management control"}})
      if (gpu["outcome"] == "change" && !gpu[word].is_null() &&
          gpu[word]["before"] != gpu[word]["after"])
        lines.push_back("GPU " + gpu["bdf"].get<std::string>() + ": " + name + " " +
                        gpu[word]["before"].get<std::string>() + " -> " +
                        gpu[word]["after"].get<std::string>());
  for (const json& port : plan["ports"].is_null() ? json::array() : plan["ports"]) {
    const std::string head = "Port " + port["port"].get<std::string>() + ": ACS Control ";
    if (port["outcome"] == "change")
      lines.push_back(head + port["before"]["word"].get<std::string>() + " -> " +
                      acsText(port["after"]));
    if (port["outcome"] == "unchanged")
      lines.push_back(head + acsText(port["after"]) + " unchanged");
  }
  for (const json& table : plan["write"].is_null() ? json::array() : plan["write"]["tables"]) {
    const std::string head = "GPU " + table["gpu"].get<std::string>() + ": exchange table ";
    if (table["outcome"] == "change")
      lines.push_back(head + "of " + std::to_string(table["words"].size()) +
                      " words written (it was " + table["now"].get<std::string>() + ")");
    if (table["outcome"] == "unchanged") lines.push_back(head + "already current");
  }
  if (!plan["read"].is_null()) {
    if (plan["read"]["directory_state"] == "made")
      lines.push_back(std::string("Created ") + kPeerDirPath);
    for (const json& path : plan["read"]["leftovers"])
      lines.push_back("Removed " + path.get<std::string>() + ", left by an interrupted run");
    for (const json& file : plan["read"]["files"]) {
      const std::string head = "Peer file " + file["path"].get<std::string>();
      if (file["outcome"] == "change")
        lines.push_back(head + " stored (" + (file["now"] == "new" ? "new" : "it differed") + ")");
      if (file["outcome"] == "unchanged") lines.push_back(head + " unchanged");
    }
  }
  if (plan["changes"] == 0) lines.push_back("Nothing changed.");
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The change lines among a run's output, sorted.
Lines changeLinesOf(const std::string& out) {
  static const std::regex kChange(
      "GPU \\S+: (Command|Power Management control|exchange table) .*|Port \\S+: ACS Control .*|"
      "Peer file .*|Created .*|Removed .*|Nothing changed\\.");
  Lines lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    if (std::regex_match(line, kChange)) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The GPUs and ports of the items the plan says the run leaves undone.
std::set<std::string> undoneItems(const json& plan) {
  std::set<std::string> items;
  const auto add = [&](const json& list, const char* name) {
    for (const json& item : list.is_null() ? json::array() : list)
      if (item["undone"] == true) items.insert(item[name].get<std::string>());
  };
  add(plan["gpus"], "bdf");
  add(plan["ports"], "port");
  add(plan["write"].is_null() ? json() : plan["write"]["tables"], "gpu");
  add(plan["read"].is_null() ? json() : plan["read"]["files"], "gpu");
  return items;
}

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

class PlanTest : public systest::PresetTest {};

// Per mode a fabric with something to change, something already right and
// something left undone; each kind of change alone in a row, so that a run
// that says "Nothing changed." after a change shows.
TEST_F(PlanTest, ARunDoesExactlyWhatItsPlanSaid) {
  const std::string guest_b = pairs_[1].first, guest_c = pairs_[2].first, guest_d = pairs_[3].first;
  std::unique_ptr<sim::GuestProcess> holder;  // of the host's GPU 0000:1c:00.0
  const struct {
    const char* what;
    std::vector<std::string> args;
    std::function<void()> bend;
    bool guest;
    std::string undone;  // an item the run leaves undone
  } rows[] = {
      {"ACS mode: ports, one already clear, a GPU in use",
       {},
       [&] {
         host_.setAcsControl("0000:3c:10.0", 0x0011);
         holder = guest(host_.bindVfio("0000:1c:00.0", 7, dev_.path()), "qemu-system-x86");
       },
       false,
       "0000:1c:00.0"},
      {"-w: a table current, one stale, a BAR0 unassigned, the rest missing",
       {"-w"},
       [&] {
         host_.writeWindowWords(
             "0000:3d:00.0", sim::kAreaOffset,
             systest::expectedArea("0000:3d:00.0", {{"0000:3d:00.0", host_.bar0("0000:3d:00.0")},
                                                    {"0000:3e:00.0", host_.bar0("0000:3e:00.0")}}));
         host_.writeWindowWords("0000:3e:00.0", sim::kAreaOffset,
                                systest::expectedArea("0000:3e:00.0", {{"0000:3e:00.0", 0x1000}}));
         host_.writeConfig("0000:61:00.0", 0x10, 8, 0);
       },
       false,
       "0000:61:00.0"},
      {"-r: a file unchanged, one differing, one new, a window without a table",
       {"-r"},
       [&] {
         tool({"-w", "--force"});  // the GPU in use and the BAR0 unassigned stay
         tool({"-r"}, guest_);
         std::ofstream(peerFile(guest_b)) << "junk";
         fs::remove(peerFile(guest_c));
         guest_.writeWindowWords(guest_d, sim::kAreaOffset, {0});
       },
       true,
       guest_d},
      {"-r: a temporary file of an interrupted run",
       {"-r"},
       [&] {
         tool({"-r"}, guest_);
         std::ofstream(etc_.path() + "/" + systest::kPeerDir + "/.peer-Ab3xYz") << "x";
       },
       true,
       guest_d},
      {"ACS mode: decoding off, D3hot, every port clear",
       {},
       [&] {
         tool({});
         host_.writeConfig("0000:3d:00.0", 0x04, 2, 0x0000);
         host_.writeConfig("0000:60:00.0", 0x44, 2, 0x000b);
       },
       false,
       "0000:1c:00.0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    row.bend();
    const sim::Fabric& a = row.guest ? guest_ : host_;
    const sim::TempDir twin_dir("p2p-twin"), etc_b("p2p-etc-twin");
    fs::copy(a.sysDir(), twin_dir.path() + "/sys",
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::copy(a.root() + "/proc", twin_dir.path() + "/proc", fs::copy_options::recursive);
    fs::copy(etc_.path(), etc_b.path(),
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    fs::permissions(etc_b.path(), fs::perms(0755));
    const sim::Fabric b(twin_dir.path());
    const Files fabric_before = systest::snapshot(a.root()),
                etc_before = systest::snapshot(etc_.path());
    setpci_.clear();

    const sim::Result dry = tool(with(row.args, {"-n", "--json"}), a);
    EXPECT_TRUE(systest::snapshot(a.root()) == fabric_before);
    EXPECT_TRUE(systest::snapshot(etc_.path()) == etc_before);
    EXPECT_EQ(acsCalls(), Lines{});
    const json plan = json::parse(dry.out);
    EXPECT_GT(plan["changes"].get<int>(), 0);
    EXPECT_EQ(dry.status, plan["exit_status"].get<int>());
    EXPECT_EQ(dry.status, 1);
    EXPECT_EQ(undoneItems(plan).count(row.undone), 1u) << row.undone;

    box_.etc_upper = etc_b.path();
    const sim::Result real = tool(with(row.args, {"-v"}), b);
    EXPECT_EQ(real.status, dry.status) << real.out;
    EXPECT_EQ(changeLinesOf(real.out), changeLines(plan));
    EXPECT_TRUE(systest::snapshot(b.root()) == planned(fabric_before, plan, a));
    EXPECT_TRUE(systest::snapshot(etc_b.path()) == plannedPeers(etc_before, plan));

    // Now nothing is left to change: the plan says so, and so does the run.
    const json again = json::parse(tool(with(row.args, {"-n", "--json"}), b).out);
    EXPECT_EQ(again["changes"].get<int>(), 0);
    const Lines nothing = changeLinesOf(tool(with(row.args, {"-v"}), b).out);
    EXPECT_EQ(nothing, changeLines(again));
    EXPECT_EQ(std::count(nothing.begin(), nothing.end(), "Nothing changed."), 1);
    box_.etc_upper = etc_.path();
  }
}

// The document's header, and what another user is told: every fact only
// root can read unknown, nothing guessed, no probe, exit status 3.
TEST_F(PlanTest, AnotherUserIsToldWhatOnlyRootCanKnow) {
  host_.writeConfig("0000:3d:00.0", 0x04, 2, 0x0000);
  const Files before = systest::snapshot(host_.root());
  const sim::Result text = tool({"-n"}, host_, systest::kNobody);
  EXPECT_EQ(text.status, 3);
  for (const char* line : {"  0000:3d:00.0: unknown (run as root): Command 0x0000 now\n",
                           "  0000:3d:00.0: place unknown (run as root)\n",
                           "  0000:17:00.0: ACS Control unknown (run as root), the command runs "
                           "all the same\n",
                           "Result: 0 changes; some facts unknown (exit status 3)\n"})
    EXPECT_NE(text.out.find(line), std::string::npos) << line << " in\n" << text.out;
  EXPECT_EQ(text.out.find("->"), std::string::npos) << text.out;
  for (const char* mode : {"-w", "-r"}) {
    const json plan = json::parse(tool({"-n", "--json", mode}, host_, systest::kNobody).out);
    EXPECT_EQ(plan["kind"], "plan");
    EXPECT_EQ(plan["schema_version"], 1);
    EXPECT_EQ(plan["version"], P2P_VERSION);
    EXPECT_FALSE(plan["hostname"].get<std::string>().empty());
    EXPECT_TRUE(std::regex_match(plan["time"].get<std::string>(),
                                 std::regex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}"
                                            "[+-][0-9]{2}:[0-9]{2}")))
        << plan["time"];
    EXPECT_EQ(plan["as_root"], false);
    EXPECT_EQ(plan["changes"], mode[1] == 'r' ? 1 : 0);  // -r: the missing directory is made
    EXPECT_EQ(plan["exit_status"], 3);
    for (const json& gpu : plan["gpus"]) EXPECT_EQ(gpu["outcome"], "unknown") << gpu["bdf"];
  }
  EXPECT_TRUE(setpci_.calls().empty());
  EXPECT_TRUE(systest::snapshot(host_.root()) == before);
}

}  // namespace
