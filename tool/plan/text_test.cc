#include <gtest/gtest.h>

#include "tool/plan/render.h"

namespace {

std::vector<std::string> texts(const std::vector<PlanLine>& lines, Priority priority) {
  std::vector<std::string> out;
  for (const PlanLine& line : lines)
    if (line.priority == priority) out.push_back(line.text);
  return out;
}

// Lines of what is left alone or unknown, and a forced GPU; the lines that
// leave work undone are the warnings.
TEST(PlanTextTest, WhatTheRunLeavesAloneSaysWhyAndWarnsWhenUndone) {
  Plan plan;
  plan.as_root = true;
  GpuStep forced;
  forced.bdf = "0000:3d:00.0";
  forced.command = WordStep{4, 0x0000, 0x0006};
  forced.forced = true;
  forced.state = {Outcome::kChange,
                  "in use by a running guest (process 1 q): written all the same "
                  "(--force)",
                  false};
  GpuStep offline;
  offline.bdf = "0000:3e:00.0";
  offline.state = {Outcome::kLeftAlone, "does not answer its probe (offline)", true};
  plan.gpus = {forced, offline};
  PortStep bad, unread;
  bad.port = "x;y";
  bad.state = {Outcome::kLeftAlone, "its name is no PCI address", true};
  unread.port = "0000:3c:18.0";
  unread.command = "setpci -s 0000:3c:18.0 ECAP_ACS+6.w=0000:002c > /dev/null 2>&1";
  unread.state = {Outcome::kUnknown, "ACS Control unreadable: it does not answer", true};
  plan.ports = {bad, unread};
  const auto lines = planLines(plan);
  EXPECT_EQ(texts(lines, Priority::kWarning),
            (std::vector<std::string>{
                "  0000:3e:00.0: left alone: does not answer its probe (offline); left undone",
                "  x;y: left alone: its name is no PCI address; left undone",
                "  0000:3c:18.0: ACS Control unknown (ACS Control unreadable: it does not answer), "
                "the command runs all the same; left undone",
                "Result: 1 change; work left undone (exit status 1)"}));
  const auto info = texts(lines, Priority::kInfo);
  EXPECT_EQ(info[2],
            "  0000:3d:00.0: Command 0x0000 -> 0x0006, no Power Management capability (in use by a "
            "running guest (process 1 q): written all the same (--force))");
  EXPECT_EQ(planExitStatus(plan), kPlanUndone);
}

TEST(PlanTextTest, APeerFileADirectoryTakesIsKeptAndLeftoversAreListed) {
  Plan plan;
  plan.as_root = true;
  plan.mode = RunMode::kRead;
  plan.gpus.resize(1);
  plan.gpus[0].bdf = "0000:00:05.0";
  plan.gpus[0].state.outcome = Outcome::kUnchanged;
  plan.read.emplace();
  plan.read->leftovers = {"/etc/qz/vm_p2p_cfg/.peer-Ab3xYz"};
  PeerStep step;
  step.gpu = "0000:00:05.0";
  step.state = {Outcome::kLeftAlone, "a directory is in its place and cannot be replaced", true};
  plan.read->files = {step};
  plan.read->role.reason = "/proc/cpuinfo: missing";  // taken for a host: -r stays a guest's
  const auto lines = planLines(plan);
  std::vector<std::string> all;
  for (const PlanLine& line : lines) all.push_back(line.text);
  EXPECT_EQ(
      std::vector<std::string>(all.end() - 6, all.end()),
      (std::vector<std::string>{
          "Role: host (no GPU tells; the CPU's flags cannot be read (/proc/cpuinfo: missing): "
          "taken for a host)",
          "Peer files in /etc/qz/vm_p2p_cfg/:",
          "  guest 0000:00:05.0: left alone: a directory is in its place and cannot be replaced; "
          "left undone",
          "Temporary files of an interrupted run, removed:", "  /etc/qz/vm_p2p_cfg/.peer-Ab3xYz",
          "Result: 1 change; work left undone (exit status 1)"}));
}

}  // namespace
