#include <gtest/gtest.h>

#include "tool/collect/meta.h"
#include "tool/collect/sysfs.h"

namespace {

// A configuration space whose extended list holds AER at 0x100, then a
// Device Serial Number capability at `dsn` (0: none) carrying 0x1122...88.
std::string configWithSerial(size_t dsn, size_t size = 4096) {
  std::string c(4096, '\0');
  const uint32_t aer = 0x0001 | 1u << 16 | static_cast<uint32_t>(dsn) << 20;
  for (int i = 0; i < 4; ++i) c[0x100 + i] = static_cast<char>(aer >> (8 * i));
  if (dsn) {
    c[dsn] = 0x03;
    c[dsn + 2] = 0x01;
    for (int i = 0; i < 8; ++i) c[dsn + 4 + i] = static_cast<char>(0x11 * (8 - i));
  }
  return c.substr(0, size);
}

TEST(Collect, TheSerialNumberIsZeroedAndItsHeaderKept) {
  std::string expected = configWithSerial(0x150);
  for (size_t i = 0x154; i < 0x15c; ++i) expected[i] = '\0';
  EXPECT_EQ(withoutSerialNumber(configWithSerial(0x150)), expected);
  EXPECT_EQ(withoutSerialNumber(configWithSerial(0)), configWithSerial(0));
  // A space cut inside the number: what is there is zeroed, nothing added.
  EXPECT_EQ(withoutSerialNumber(configWithSerial(0x150, 0x158)), expected.substr(0, 0x158));
  EXPECT_EQ(withoutSerialNumber(configWithSerial(0x150, 64)), configWithSerial(0x150, 64));
}

TEST(Collect, LspciSaysNoSerialNumber) {
  EXPECT_EQ(
      withoutSerialNumbers("0000:3a:00.0 PCI bridge: X\n"
                           "\tCapabilities: [150] Device Serial Number 12-34-56-78-9a-bc-de-f0\n"
                           "\t\t[SN] Serial number: ABC123\n\n"),
      "0000:3a:00.0 PCI bridge: X\n"
      "\tCapabilities: [150] Device Serial Number 00-00-00-00-00-00-00-00\n"
      "\t\t[SN] Serial number: (not collected)\n\n");
}

TEST(Collect, SourceDateEpochStandsForTheTime) {
  EXPECT_EQ(collectionTime("86400", 0), "1970-01-02T00:00:00Z\n");
  for (const char* ignored : {"", "12x", "-5"})
    EXPECT_EQ(collectionTime(ignored, 60), "1970-01-01T00:01:00Z\n");
  EXPECT_EQ(collectionTime(nullptr, 60), "1970-01-01T00:01:00Z\n");
}

}  // namespace
