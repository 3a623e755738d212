#include "watch/instance_lock.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "tests/sim/tempdir.h"

namespace {

// The system tests (WatchTest) show the PID named and a dead holder's file
// ignored; here what they cannot reach.
TEST(InstanceLockTest, AHolderWithoutAPidYetIsStillAHolder) {
  const sim::TempDir run("p2p-run");
  const std::string path = run / "lock";
  const InstanceLock first = lockInstance(path);
  ASSERT_TRUE(first.fd.valid());
  run.write("lock", "12x\n");
  EXPECT_EQ(lockInstance(path).holder, 0);
  run.write("lock", "2147483647\n");  // the largest PID there can be, then one past it
  EXPECT_EQ(lockInstance(path).holder, 2147483647);
  run.write("lock", "2147483648\n");
  EXPECT_EQ(lockInstance(path).holder, 0);
  EXPECT_FALSE(lockInstance(path).fd.valid());
  EXPECT_EQ(lockInstance(run / "none/deeper/lock").error, ENOENT);
}

}  // namespace
