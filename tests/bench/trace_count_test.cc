#include "tests/bench/trace_count.h"

#include <gtest/gtest.h>

#include <sstream>

namespace bench {
namespace {

using Programs = std::map<std::string, size_t>;

// The traced program starts one shell that starts cat: the calls as strace -f
// prints them, split where another process got in between.
constexpr char kPopenCat[] =
    "100 execve(\"/opt/bin/p2ptool\", [\"p2ptool\"], 0x7ffd /* 9 vars */) = 0\n"
    "100 clone3({flags=CLONE_VM|CLONE_VFORK, exit_signal=SIGCHLD, stack=0x7f, "
    "stack_size=0x9000}, 88 <unfinished ...>\n"
    "101 execve(\"/bin/sh\", [\"sh\", \"-c\", \"cat /sys/x/device\"], 0x7ffc /* 9 vars */ "
    "<unfinished ...>\n"
    "100 <... clone3 resumed>)             = 101\n"
    "101 <... execve resumed>)             = 0\n"
    "101 vfork( <unfinished ...>\n"
    "102 execve(\"/usr/bin/cat\", [\"cat\", \"/sys/x/device\"], 0x5563 /* 9 vars */) = 0\n"
    "101 <... vfork resumed>)              = 102\n";

TEST(TraceCountTest, CountsProcessesAndProgramStarts) {
  const struct {
    const char* name;
    std::string trace;
    size_t processes;
    Programs programs;
  } cases[] = {
      {"popen of cat", kPopenCat, 2, {{"sh", 1}, {"cat", 1}}},
      {"own start only",
       "7 execve(\"/bin/p2pwatch\", [\"p2pwatch\"], 0x1 /* 2 vars */) = 0\n",
       0,
       {}},
      {"failed PATH lookups are no starts",
       "7 execve(\"/bin/a\", [\"a\"], 0x1) = 0\n"
       "8 execve(\"/usr/local/sbin/setpci\", [\"setpci\"], 0x1) = -1 ENOENT (No such file or "
       "directory)\n"
       "8 execve(\"/usr/bin/setpci\", [\"setpci\"], 0x1) = 0\n",
       0,
       {{"setpci", 1}}},
      {"a failed fork starts nothing",
       "7 execve(\"/bin/a\", [\"a\"], 0x1) = 0\n"
       "7 clone(child_stack=NULL, flags=SIGCHLD) = -1 EAGAIN (Resource temporarily unavailable)\n"
       "7 fork()                               = 12\n",
       1,
       {}},
      {"threads are no processes",
       "7 execve(\"/bin/a\", [\"a\"], 0x1) = 0\n"
       "7 clone3({flags=CLONE_VM|CLONE_FS|CLONE_THREAD|CLONE_SIGHAND, stack=0x1}, 88) = 9\n",
       0,
       {}},
      {"the result is the last one after the arguments",
       "7 execve(\"/bin/a\", [\"a\"], 0x1) = 0\n"
       "8 execve(\"/bin/sh\", [\"sh\", \"-c\", \"echo x) = 3 > f\"], 0x1) = 0\n",
       0,
       {{"sh", 1}}},
      {"signals, exits and other calls are ignored",
       "7 execve(\"/bin/a\", [\"a\"], 0x1) = 0\n"
       "7 --- SIGCHLD {si_signo=SIGCHLD, si_pid=8} ---\n"
       "8 +++ exited with 0 +++\n"
       "7 wait4(-1, NULL, 0, NULL) = 8\n"
       "garbage\n",
       0,
       {}},
      {"a resumption without its start is ignored", "7 <... vfork resumed>) = 12\n", 0, {}},
  };
  for (const auto& c : cases) {
    std::istringstream in(c.trace);
    const ProcessCounts counts = countProcesses(in);
    EXPECT_EQ(counts.processes, c.processes) << c.name;
    EXPECT_EQ(counts.programs, c.programs) << c.name;
  }
}

TEST(TraceCountTest, ProgramStartsOfAnUnseenProgramAreZero) {
  std::istringstream in(kPopenCat);
  const ProcessCounts counts = countProcesses(in);
  EXPECT_EQ(counts.programStarts("cat"), 1u);
  EXPECT_EQ(counts.programStarts("setpci"), 0u);
}

TEST(TraceCountTest, AnUnreadableTraceThrows) {
  EXPECT_THROW(countProcessesInFile("/nonexistent/p2pbench-trace"), std::runtime_error);
}

}  // namespace
}  // namespace bench
