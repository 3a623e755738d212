#include "common/util/standard_streams.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

bool isNullDevice(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3);
}

// Each one closed in turn: the descriptor comes back on /dev/null, and the
// other two stay what they were.
TEST(StandardStreamsTest, AClosedStandardDescriptorIsOpenedOnDevNull) {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    EXPECT_EXIT(
        {
          const bool was_null = isNullDevice((fd + 1) % 3);
          close(fd);
          const bool ok = prepareStandardStreams() && isNullDevice(fd) &&
                          isNullDevice((fd + 1) % 3) == was_null;
          _exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << "descriptor " << fd;
  }
}

// A write to a pipe nobody reads fails; a command started afterwards still
// ends on SIGPIPE as usual.
TEST(StandardStreamsTest, ABrokenPipeFailsTheWriteButStartedCommandsKeepTheDefault) {
  EXPECT_EXIT(
      {
        int ends[2];
        const bool ok = prepareStandardStreams() && pipe(ends) == 0 && close(ends[0]) == 0 &&
                        write(ends[1], "x", 1) == -1 && errno == EPIPE;
        const int child = system("kill -PIPE $$");
        _exit(ok && WIFSIGNALED(child) && WTERMSIG(child) == SIGPIPE ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
