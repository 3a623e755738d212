#include "tests/bench/modes.h"

#include <gtest/gtest.h>

namespace bench {
namespace {

TEST(ModesTest, WhatEachModeNeedsByDesign) {
  HostLayout layout;
  layout.gpus = 10;
  layout.groups = {std::vector<std::string>(8), std::vector<std::string>(2)};
  layout.acs_ports = {"a", "b", "c"};
  const struct {
    Mode mode;
    size_t sh, setpci, cat;
  } cases[] = {
      {Mode::kDefault, 10 + 10 + 3, 10 + 3, 10},
      {Mode::kStatus, 0, 0, 0},
      {Mode::kWrite, 20, 10, 10},
      {Mode::kRead, 20, 10, 10},
      {Mode::kWatch, 64 + 4, 0, 0},
  };
  for (const auto& c : cases) {
    const Needed needed = designNeeds(c.mode, layout);
    EXPECT_EQ(needed.sh, c.sh) << modeLabel(c.mode);
    EXPECT_EQ(needed.setpci, c.setpci) << modeLabel(c.mode);
    EXPECT_EQ(needed.cat, c.cat) << modeLabel(c.mode);
    EXPECT_EQ(needed.processes(), c.sh + c.setpci + c.cat) << modeLabel(c.mode);
  }
}

TEST(ModesTest, OnlyWriteReadAndStatusPassAnOption) {
  EXPECT_EQ(toolArguments(Mode::kDefault), std::vector<std::string>{});
  EXPECT_EQ(toolArguments(Mode::kWrite), std::vector<std::string>{"-w"});
  EXPECT_EQ(toolArguments(Mode::kRead), std::vector<std::string>{"-r"});
  EXPECT_EQ(toolArguments(Mode::kStatus), std::vector<std::string>{"--status"});
  EXPECT_EQ(toolArguments(Mode::kWatch), std::vector<std::string>{});
}

}  // namespace
}  // namespace bench
