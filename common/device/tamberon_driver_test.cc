#include "common/device/tamberon_driver.h"

#include <gtest/gtest.h>

namespace {

TEST(TamberonDriver, AMinorIsADecimalNumberOfAtMostTenDigits) {
  for (const char* minor : {"0", "12", "4294967295", "0000000000"})
    EXPECT_TRUE(isMinorNumber(minor)) << minor;
  for (const char* text : {"", "12345678901", "-1", "1 ", " 1", "0x1", "1;touch${IFS}x", "1\n"})
    EXPECT_FALSE(isMinorNumber(text)) << text;
  EXPECT_EQ(minorFile("0000:00:05.0"), "/sys/bus/pci/drivers/tamberon/0000:00:05.0/minor");
}

}  // namespace
