#include "tool/report/format.h"

#include <gtest/gtest.h>

namespace {

TEST(ReportFormatTest, PrintableEscapesAllButPrintableAsciiAndTheBackslash) {
  EXPECT_EQ(printable(std::string("\x1f ~\x7f\\\xff", 6)), "\\x1f ~\\x7f\\x5c\\xff");
}

TEST(ReportFormatTest, NoLabelValueBreaksItsLine) {
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

}  // namespace
