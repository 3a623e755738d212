#include "tests/sim/explain.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tests/sim/presets.h"
#include "tests/sim/tempdir.h"

namespace sim {
namespace {

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class ExplainTest : public ::testing::Test {
 protected:
  void SetUp() override { buildHostPreset(host_); }
  TempDir dir_;
  Fabric host_{dir_.path()};
};

TEST_F(ExplainTest, PortsAreMarkedChangedOrGivenTheReasonTheyWereLeftAlone) {
  PortOptions with_acs;  // an upstream port that has ACS, as some switches' do
  with_acs.acs = true;
  host_.addRootPort("0000:a0:00.0", "pci0000:a0");
  host_.addUpstreamPort("0000:a1:00.0", "0000:a0:00.0", with_acs);
  host_.addDownstreamPort("0000:a2:00.0", "0000:a1:00.0");
  host_.addGpu("0000:a3:00.0", "0000:a2:00.0");
  const AcsSnapshot before = parseSnapshot(formatSnapshot(acsSnapshot(host_)));
  EXPECT_EQ(before, acsSnapshot(host_));
  // What p2ptool does on this fabric, but for one port it misses.
  for (const char* port : {"0000:3c:08.0", "0000:3c:10.0", "0000:5f:08.0", "0000:19:00.0",
                           "0000:17:00.0", "0000:a2:00.0"})
    host_.setAcsControl(port, 0x0011);
  const std::string text = explainAcs(host_, before);
  const struct {
    const char* port;
    const char* verdict;
  } rows[] = {
      {"0000:3c:08.0", "001d   0011  changed: downstream port directly above a single-chip GPU"},
      {"0000:19:00.0", "changed: outer switch's downstream port above the dual-chip board"},
      {"0000:17:00.0", "changed: port above the outer switch of a dual-chip board"},
      {"0000:5f:10.0", "NOT changed, yet picked: downstream port directly above"},
      {"0000:3c:18.0", "left alone: no GPU below it"},
      {"0000:a1:00.0", "left alone: an upstream port"},
      {"0000:85:00.0", "left alone: GPU 0000:86:00.0 sits directly below it"},
      {"0000:3a:00.0", "left alone: root port above a switch of single-chip GPUs"},
      {"0000:1b:00.0", "left alone: inside a dual-chip board's own switch"},
  };
  for (const auto& row : rows) {
    const size_t line = text.find("  " + std::string(row.port) + " ");
    ASSERT_NE(line, std::string::npos) << row.port << "\n" << text;
    EXPECT_TRUE(has(text.substr(line, text.find('\n', line) - line), row.verdict))
        << row.port << "\n"
        << text;
  }
  EXPECT_TRUE(has(text, "ACS Control 0011: Source Validation, Upstream Forwarding on, no "
                        "redirection: requests between GPUs go straight across the switch"));
  EXPECT_TRUE(has(text, "ACS Control 001d: Source Validation, P2P Request Redirect, P2P "
                        "Completion Redirect, Upstream Forwarding on (requests between GPUs are "
                        "sent up towards the root)"));
}

TEST_F(ExplainTest, GpusShowTheirGroupOrWhyTheyHaveNone) {
  host_.writeConfig("0000:3d:00.0", 0x04, 2, 0x0006);
  host_.writeConfig("0000:3e:00.0", 0x04, 2, 0x0000);
  host_.writeConfig("0000:3e:00.0", 0x44, 2, 0x0003);  // D3hot, No_Soft_Reset clear
  const std::string text = explainGpus(host_);
  for (const char* part :
       {"0000:86:00.0  BAR0 4860000000, directly below root port 0000:85:00.0, no switch\n"
        "                in no group",
        "group 0000:18:00.0: 0000:1c:00.0, 0000:1d:00.0\n",
        "group 0000:3b:00.0: 0000:3d:00.0, 0000:3e:00.0\n",
        "Command 0006 (memory decoding on, bus mastering on)",
        "Command 0000 (memory decoding off, bus mastering off), power word 0003 (D3, "
        "No_Soft_Reset clear)",
        "Command 0546 (memory decoding on, bus mastering on), power word 0008 (D0, "
        "No_Soft_Reset set)"})
    EXPECT_TRUE(has(text, part)) << part << "\n" << text;
}

TEST_F(ExplainTest, AreaWordsAreNamed) {
  const uint64_t bar0 = host_.bar0("0000:1d:00.0");
  const std::string text = explainArea(
      host_, {packBdf("0000:1c:00.0") | uint64_t{3} << 32, packBdf("0000:1d:00.0"), bar0, 0x1234});
  EXPECT_TRUE(has(text, "word 0  0000000300001c00  self 0000:1c:00.0 (low half); 3 words in all"))
      << text;
  EXPECT_TRUE(has(text, "word 1  0000000000001d00  peer 1: 0000:1d:00.0\n")) << text;
  std::ostringstream address;
  address << "peer 1: host BAR0 address " << std::hex << bar0 << "\n";
  EXPECT_TRUE(has(text, address.str())) << text;
  EXPECT_TRUE(has(text, "peer 2: ? (no GPU packs to 1234)")) << text;
  EXPECT_TRUE(has(text, "(4 words present)")) << text;
}

TEST_F(ExplainTest, TheSummarySaysWhetherEachDriverLearntItsWholeGroup) {
  TempDir guest_dir, logs;
  Fabric guest(guest_dir.path());
  const auto pairs = buildGuestPreset(guest, host_);  // 00:05.0 is host 1c, 00:06.0 host 1d
  for (size_t i = 0; i < pairs.size(); ++i)
    guest.bindDriver(pairs[i].first, std::to_string(i), false);
  auto line = [&](const char* minor, const std::string& host_gpu) {
    std::ostringstream out;
    out << "pt_p2p_cfg " << minor << " " << std::uppercase << std::hex << host_.bar0(host_gpu)
        << "\n";
    return out.str();
  };
  logs.write("itr-0000:00:05.0.log", line("0", "0000:1c:00.0") + line("1", "0000:1d:00.0"));
  logs.write("itr-0000:00:06.0.log", line("0", "0000:1c:00.0") + line("1", "0000:3d:00.0"));
  const std::string summary = explainReceived(guest, host_, logs.path(), true);
  EXPECT_TRUE(has(summary,
                  "0000:00:05.0 (host 0000:1c:00.0, minor 0): every member of its "
                  "group, addresses right (peer minors 0, 1; its group: 0, 1)"))
      << summary;
  EXPECT_TRUE(has(summary, "0000:00:06.0 (host 0000:1d:00.0, minor 1): INCOMPLETE OR WRONG"));
  EXPECT_TRUE(has(summary, "0000:00:07.0 (host 0000:3d:00.0, minor 2): INCOMPLETE OR WRONG"));
  const std::string detail = explainReceived(guest, host_, logs.path(), false);
  EXPECT_TRUE(has(detail, "peer minor 1 = 0000:00:06.0 (host 0000:1d:00.0), WRONG: its host BAR0"))
      << detail;
}

}  // namespace
}  // namespace sim
