#include "common/device/pci_address.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(PciAddress, ParsesFieldsOfAnyDomainLengthAndPacksThem) {
  struct Row {
    std::string text;
    uint64_t packed;
    bool fits32;
  };
  for (const Row& row : std::vector<Row>{{"0000:3b:00.0", 0x3b00, true},
                                         {"0001:02:03.1", 0x10261, true},
                                         {"0000:3b:1f.7", 0x3be7, true},
                                         {"ffff:ff:1f.7", 0xffffffe7, true},
                                         {"10000:01:00.0", 0x100000100, false},
                                         {"0000:3B:00.0", 0x3b00, true}}) {
    const auto address = parsePciAddress(row.text);
    ASSERT_TRUE(address) << row.text;
    EXPECT_EQ(packedBdf(*address), row.packed) << row.text;
    EXPECT_EQ(packedBdf32(*address).has_value(), row.fits32) << row.text;
  }
}

TEST(PciAddress, APackedNumberReadsBackWithADeviceBelowEight) {
  EXPECT_EQ(pciAddressOfPacked(0x3b00), "0000:3b:00.0");
  EXPECT_EQ(pciAddressOfPacked(0xffffffe7), "ffff:ff:07.7");
  EXPECT_EQ(pciAddressOfPacked(0x100000100), "10000:01:00.0");
  // Device 8 of bus 3a packs as device 0 of bus 3b.
  EXPECT_EQ(pciAddressOfPacked(packedBdf(*parsePciAddress("0000:3a:08.0"))), "0000:3b:00.0");
}

TEST(PciAddress, RejectsEverythingElse) {
  for (const char* text :
       {"", "devices", "pci0000:00", "sys", "000:3b:00.0", "000000000:3b:00.0", "0000:3b:20.0",
        "0000:3b:00.8", "0000:3b:00.0 ", " 0000:3b:00.0", "0000:3d:00.0;touch pwned",
        "0000-3b:00.0", "0000:3b:0g.0", "0000:19:08.0:pcie210", "0000:3b:00"})
    EXPECT_FALSE(isPciAddress(text)) << '"' << text << '"';
}

}  // namespace
