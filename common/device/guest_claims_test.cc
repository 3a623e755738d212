#include "common/device/guest_claims.h"

#include <gtest/gtest.h>

namespace {

constexpr char kMinorA[] = "minor file /sys/bus/pci/drivers/tamberon/0000:00:05.0/minor";
constexpr char kMinorB[] = "minor file /sys/bus/pci/drivers/tamberon/0000:00:06.0/minor";
constexpr char kMinorC[] = "minor file /sys/bus/pci/drivers/tamberon/0000:00:07.0/minor";

TEST(GuestClaimsTest, EveryGpuOfASharedMinorIsNamedWithTheOthersFiles) {
  const SharedClaims shared = sharedMinors({{"0000:00:05.0", "0"},
                                            {"0000:00:06.0", "0"},
                                            {"0000:00:07.0", "0"},
                                            {"0000:00:08.0", "1"},
                                            {"0000:00:09.0", "10"}});
  const SharedClaims expected = {
      {"0000:00:05.0", std::string(kMinorA) + " holds 0, as do " + kMinorB + ", " + kMinorC},
      {"0000:00:06.0", std::string(kMinorB) + " holds 0, as do " + kMinorA + ", " + kMinorC},
      {"0000:00:07.0", std::string(kMinorC) + " holds 0, as do " + kMinorA + ", " + kMinorB}};
  EXPECT_EQ(shared, expected);
}

}  // namespace
