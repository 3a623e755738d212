#include "tool/report/format.h"

#include <gtest/gtest.h>

namespace {

TEST(ReportFormatTest, PrintableEscapesAllButPrintableAsciiAndTheBackslash) {
  EXPECT_EQ(printable(std::string("\x1f ~\x7f\\\xff", 6)), "\\x1f ~\\x7f\\x5c\\xff");
}

}  // namespace
