#include "tool/document.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

// Local time with the zone's offset, the colon before its minutes.
TEST(DocumentTest, TimesAreIso8601WithTheirOffset) {
  const char* saved = getenv("TZ");
  const std::string before = saved ? saved : "";
  const struct {
    const char* zone;
    const char* text;
  } rows[] = {{"UTC0", "2026-12-07T11:00:03+00:00"},
              {"IST-5:30", "2026-12-07T16:30:03+05:30"},
              {"NST3:30", "2026-12-07T07:30:03-03:30"}};
  for (const auto& row : rows) {
    setenv("TZ", row.zone, 1);
    tzset();
    EXPECT_EQ(isoTime(1796641203), row.text) << row.zone;
  }
  saved ? setenv("TZ", before.c_str(), 1) : unsetenv("TZ");
  tzset();
  const nlohmann::json header = documentHeader("plan", 0);
  EXPECT_EQ(header["kind"], "plan");
  EXPECT_EQ(header["schema_version"], 1);
}

}  // namespace
