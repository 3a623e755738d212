#include "watch/instance_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "tests/sim/tempdir.h"

namespace {

TEST(InstanceLockTest, TheFirstHoldsTheLockAndTheNextIsToldItsPid) {
  const sim::TempDir run("p2p-run");
  const std::string path = run / "p2pwatch/lock";
  run.write("p2pwatch/lock", "999999999\n");  // a dead instance's file blocks nothing
  const InstanceLock first = lockInstance(path);
  ASSERT_TRUE(first.fd.valid());
  EXPECT_EQ(sim::readFile(path), std::to_string(getpid()) + "\n");
  const InstanceLock second = lockInstance(path);  // a lock of its own open file: refused
  EXPECT_FALSE(second.fd.valid());
  EXPECT_EQ(second.holder, getpid());
  EXPECT_EQ(second.error, 0);
}

TEST(InstanceLockTest, AHolderWithoutAPidYetIsStillAHolder) {
  const sim::TempDir run("p2p-run");
  const std::string path = run / "lock";
  const InstanceLock first = lockInstance(path);
  ASSERT_TRUE(first.fd.valid());
  run.write("lock", "12x\n");
  EXPECT_EQ(lockInstance(path).holder, 0);
  EXPECT_FALSE(lockInstance(path).fd.valid());
  EXPECT_EQ(lockInstance(run / "none/deeper/lock").error, ENOENT);
}

}  // namespace
