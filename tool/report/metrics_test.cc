#include <gtest/gtest.h>

#include <string>

#include "tool/report/format.h"
#include "tool/report/render.h"

namespace {

TEST(ReportMetricsTest, NoLabelValueBreaksItsLine) {
  const struct {
    const char* name;
    std::string text;
    std::string value;
  } rows[] = {
      {"a line and a series of its own", "0000:3a:00.0\"} 1\nevil 1",
       "0000:3a:00.0\\\"} 1\\nevil 1"},
      {"a backslash before a quote", "\\\"", "\\\\\\\""},
      {"UTF-8 of two, three and four bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
       "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"a byte no UTF-8 has", "a\xff", "a\xef\xbf\xbd"},
      {"an overlong slash", "\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"an overlong of three bytes", "\xe0\x80\xaf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"an overlong of four bytes", "\xf0\x8f\xbf\xbf",
       "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"a surrogate", "\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"above U+10FFFF", "\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"a sequence cut short, then a quote", "\xe2\x82\"", "\xef\xbf\xbd\xef\xbf\xbd\\\""},
      {"a tab and a carriage return, which the format allows", "\t\r", "\t\r"},
  };
  for (const auto& row : rows) EXPECT_EQ(labelValue(row.text), row.value) << row.name;
}

// Without a GPU every family that is always there, each with HELP and TYPE.
TEST(ReportMetricsTest, AStatusWithoutGpusHasTheFamiliesAlwaysThere) {
  Status status;
  status.time = {1796641203, 5};
  status.error = "cannot read /sys/bus/pci/devices/: No such file or directory";
  EXPECT_EQ(statusMetrics(status),
            "# HELP p2ptool_info The version of p2ptool that wrote these metrics.\n"
            "# TYPE p2ptool_info gauge\n"
            "p2ptool_info{version=\"" P2P_VERSION
            "\"} 1\n"
            "# HELP p2ptool_check_timestamp_seconds Unix time of the check these metrics give.\n"
            "# TYPE p2ptool_check_timestamp_seconds gauge\n"
            "p2ptool_check_timestamp_seconds 1796641203.000000005\n"
            "# HELP p2ptool_state The verdict of p2ptool -s: 1 for ready, not_ready or unknown, "
            "0 for the others.\n"
            "# TYPE p2ptool_state gauge\n"
            "p2ptool_state{state=\"ready\"} 0\n"
            "p2ptool_state{state=\"not_ready\"} 0\n"
            "p2ptool_state{state=\"unknown\"} 1\n"
            "# HELP p2ptool_role What the machine is to p2ptool: 1 for host or guest, 0 for the "
            "other.\n"
            "# TYPE p2ptool_role gauge\n"
            "p2ptool_role{role=\"host\"} 0\n"
            "p2ptool_role{role=\"guest\"} 0\n"
            "# HELP p2ptool_gpus GPUs p2ptool sees, SR-IOV virtual functions not counted.\n"
            "# TYPE p2ptool_gpus gauge\n"
            "p2ptool_gpus 0\n"
            "# HELP p2ptool_groups Groups of GPUs below one PCI Express switch.\n"
            "# TYPE p2ptool_groups gauge\n"
            "p2ptool_groups 0\n"
            "# HELP p2ptool_ports Switch ports judged for ACS redirection.\n"
            "# TYPE p2ptool_ports gauge\n"
            "p2ptool_ports 0\n");
}

// Programmed: by the last pass, and the peer file not changed since; the
// pass's time for every GPU it programmed.
TEST(ReportMetricsTest, AGuestGpuIsProgrammedWhenNothingChangedSinceThePass) {
  const struct {
    PassState pass;
    std::optional<bool> peer_newer;
    const char* programmed;
    bool timed;
  } rows[] = {{PassState::kProgrammed, false, "1", true},
              {PassState::kProgrammed, true, "0", true},
              {PassState::kProgrammed, std::nullopt, "0", true},  // no peer file opened
              {PassState::kFailed, false, "0", false}};
  for (const auto& row : rows) {
    GuestGpu gpu;
    gpu.bdf = "0000:00:05.0";
    gpu.pass.state = row.pass;
    gpu.pass.time = {1796641200, 250000000};
    gpu.peer_newer = row.peer_newer;
    Status status;
    status.guest = {gpu};
    const std::string text = statusMetrics(status);
    EXPECT_NE(text.find(std::string("\np2ptool_gpu_programmed{gpu=\"0000:00:05.0\"} ") +
                        row.programmed + "\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("\np2ptool_gpu_programmed_timestamp_seconds{gpu=\"0000:00:05.0\"} "
                        "1796641200.250000000\n") != std::string::npos,
              row.timed)
        << text;
    EXPECT_NE(text.find("\np2ptool_role{role=\"guest\"} 1\n"), std::string::npos);
  }
}

}  // namespace
