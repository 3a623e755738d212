#include <gtest/gtest.h>

#include <cerrno>

#include "tool/plan/planners.h"

namespace {

constexpr uint16_t kNoPm = 0xFFFF;  // no Power Management capability

// A GPU's configuration space of `size` bytes: its Command word and, at 0x40,
// a Power Management capability whose control word is `pm`.
ConfigSpace gpuConfig(uint16_t command, uint16_t pm, size_t size = 256, uint16_t vendor = 0x1cb7) {
  std::vector<uint8_t> bytes(size, 0);
  const auto put = [&](size_t at, uint16_t value) {
    if (at + 1 < bytes.size()) bytes[at] = value & 0xff, bytes[at + 1] = value >> 8;
  };
  put(0x00, vendor);
  put(0x04, command);
  if (pm != kNoPm) {
    put(0x34, 0x40);
    put(0x40, kCapIdPowerManagement);
    put(0x44, pm);
  }
  return ConfigSpace(bytes);
}

// One GPU per row: what discovery read, and what the plan makes of it.
TEST(PlanGpusTest, EachGpuIsWrittenLeftAloneOrUnknownForItsReason) {
  const Holders guest{{{4321, "qemu"}}, ""}, unseen{{}, "descriptors of 1 process unreadable: 7"};
  const struct {
    const char* what;
    int open_error;
    std::optional<ConfigSpace> config;
    const Holders* holders;
    bool force, as_root;
    Outcome outcome;
    std::string reason;
    bool undone;
    uint16_t command_after, power_after;  // 0xFFFF: no such word planned
  } rows[] = {
      {"decoding off, D3hot", 0, gpuConfig(0x0400, 0x000b), nullptr, false, true, Outcome::kChange,
       "", false, 0x0406, 0x0008},
      {"all right, No_Soft_Reset clear", 0, gpuConfig(0x0546, 0x0000), nullptr, false, true,
       Outcome::kUnchanged, "", false, 0x0546, 0x0000},
      {"no Power Management capability", 0, gpuConfig(0x0006, kNoPm), nullptr, false, true,
       Outcome::kUnchanged, "", false, 0x0006, kNoPm},
      {"config not opened", EACCES, std::nullopt, nullptr, false, true, Outcome::kLeftAlone,
       "its configuration file cannot be opened: Permission denied", true, kNoPm, kNoPm},
      {"all ones", 0, gpuConfig(0, 0, 256, 0xFFFF), nullptr, false, true, Outcome::kLeftAlone,
       "its configuration space reads all ones or cannot be read", true, kNoPm, kNoPm},
      {"held", 0, gpuConfig(0, 0x0008), &guest, false, true, Outcome::kLeftAlone,
       "in use by a running guest (process 4321 qemu)", true, 0x0006, 0x0008},
      {"held, --force", 0, gpuConfig(0, 0x0008), &guest, true, true, Outcome::kChange,
       "in use by a running guest (process 4321 qemu): written all the same (--force)", false,
       0x0006, 0x0008},
      {"holders unseen, as root", 0, gpuConfig(0, 0x0008), &unseen, false, true,
       Outcome::kLeftAlone,
       "may be in use by a running guest: its holders cannot be seen (descriptors of 1 process "
       "unreadable: 7)",
       true, 0x0006, 0x0008},
      {"holders unseen, another user", 0, gpuConfig(0, 0x0008, 64), &unseen, false, false,
       Outcome::kUnknown, "run as root", false, 0x0006, kNoPm},
      {"another user", 0, gpuConfig(0, 0x0008, 64), nullptr, false, false, Outcome::kUnknown,
       "run as root", false, 0x0006, kNoPm},
  };
  for (const auto& row : rows) {
    const GpuStep step = planGpuWords(
        {"0000:3d:00.0", "/sys/devices/x/0000:3d:00.0", row.open_error, row.config, row.holders},
        row.force, row.as_root);
    EXPECT_EQ(step.state.outcome, row.outcome) << row.what;
    EXPECT_EQ(step.state.reason, row.reason) << row.what;
    EXPECT_EQ(step.state.undone, row.undone) << row.what;
    EXPECT_EQ(step.command ? step.command->after : kNoPm, row.command_after) << row.what;
    EXPECT_EQ(step.power ? step.power->after : kNoPm, row.power_after) << row.what;
  }
}

}  // namespace
