#include "common/log/qzlogger.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "common/util/test_boxed_run.h"
#include "tests/sim/tempdir.h"

namespace fs = std::filesystem;

namespace {

const char kHeaderPattern[] =
    "\n\n-------- Current time is: \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d --------\n\n"
    "Current day is: \n_day_(\\d+)\n\n";
const char kClosingLine[] = "Qzra-vezu is exit ...\n\n";

// Puts the logger's static state back after each test.
class LoggerTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_fp_ = qzlogger::fp_;
    saved_silent_ = qzlogger::silent_;
    qzlogger::fp_ = nullptr;
    qzlogger::silent_ = false;
  }
  void TearDown() override {
    if (qzlogger::fp_) fclose(qzlogger::fp_);
    qzlogger::fp_ = saved_fp_;
    qzlogger::silent_ = saved_silent_;
  }

  struct Console {
    std::string out, err;
  };
  template <typename Fn>
  static Console capture(Fn fn) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    fn();
    Console console;
    console.err = testing::internal::GetCapturedStderr();
    console.out = testing::internal::GetCapturedStdout();
    return console;
  }

  sim::TempDir dir_;

 private:
  FILE* saved_fp_ = nullptr;
  bool saved_silent_ = false;
};

struct RouteCase {
  LogLevel level;
  bool silenced;
  std::string out;
  std::string err;
};

class LoggerRouteTest : public LoggerTest, public testing::WithParamInterface<RouteCase> {};

TEST_P(LoggerRouteTest, LevelDecidesTheConsoleStream) {
  const RouteCase& c = GetParam();
  if (c.silenced) qzlogger::silent();
  const LogLevel level = c.level;
  Console console = capture([level] { qzlogger::logger(level, "Map %s failed!\n", "x"); });
  EXPECT_EQ(console.out, c.out);
  EXPECT_EQ(console.err, c.err);
}

// "Fatal", "FatalSilenced", ...
std::string routeCaseName(const testing::TestParamInfo<RouteCase>& info) {
  static const char* const kNames[] = {"Debug",   "View",  "Info", "Record",
                                       "Warning", "Error", "Fatal"};
  return std::string(kNames[info.param.level]) + (info.param.silenced ? "Silenced" : "");
}

const std::string kShown = "Map x failed!\n";
INSTANTIATE_TEST_SUITE_P(
    Cases, LoggerRouteTest,
    testing::Values(RouteCase{Debug, false, "", ""}, RouteCase{View, false, kShown, ""},
                    RouteCase{Info, false, "", ""}, RouteCase{Record, false, kShown, ""},
                    RouteCase{Warning, false, "", ""}, RouteCase{Error, false, "", ""},
                    RouteCase{Fatal, false, "", kShown}, RouteCase{View, true, "", ""},
                    RouteCase{Record, true, kShown, ""}, RouteCase{Fatal, true, "", kShown}),
    routeCaseName);

TEST_F(LoggerTest, FileGetsEveryLevelWithItsPrefix) {
  const std::string path = dir_ / "nested/dir/test.log";
  qzlogger::init(path.c_str());
  ASSERT_NE(qzlogger::fp_, nullptr);
  qzlogger::silent();
  capture([] {
    for (int level = Debug; level <= Fatal; ++level)
      qzlogger::logger(static_cast<LogLevel>(level), "level %d\n", level);
    qzlogger::logger(Fatal, "Map device register failed!\n");
  });
  EXPECT_EQ(sim::readFile(path),
            "[    Debug]  level 0\n"
            "[     View]  level 1\n"
            "[     Info]  level 2\n"
            "[   record]  level 3\n"
            "[  Warning]  level 4\n"
            "[    Error]  level 5\n"
            "[    FATAL]  level 6\n"
            "[    FATAL]  Map device register failed!\n");
}

TEST_F(LoggerTest, InitAppendsToAnExistingFile) {
  const std::string path = dir_.write("old.log", "before\n");
  qzlogger::init(path.c_str());
  qzlogger::logger(Info, "after\n");
  EXPECT_EQ(sim::readFile(path), "before\n[     Info]  after\n");
}

TEST_F(LoggerTest, ShutdownWritesTheClosingLineAndCloses) {
  const std::string path = dir_ / "test.log";
  qzlogger::init(path.c_str());
  qzlogger::shutdown();
  EXPECT_EQ(qzlogger::fp_, nullptr);
  qzlogger::shutdown();  // nothing open: nothing written
  capture([] { qzlogger::logger(Info, "not in the file\n"); });
  EXPECT_EQ(sim::readFile(path), kClosingLine);
}

TEST_F(LoggerTest, CurrentTimeWritesTheHeaderWithTodaysDay) {
  const std::string path = dir_ / "test.log";
  qzlogger::init(path.c_str());
  qzlogger::CurrentTime();
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  std::smatch match;
  std::string text = sim::readFile(path);
  ASSERT_TRUE(std::regex_match(text, match, std::regex(kHeaderPattern))) << text;
  EXPECT_EQ(std::stoi(match[1].str()), local.tm_mday);
}

TEST_F(LoggerTest, GetTimeMsWritesTheTimeLine) {
  const std::string path = dir_ / "test.log";
  qzlogger::init(path.c_str());
  int written = qzlogger::GetTimeMs();
  std::string text = sim::readFile(path);
  EXPECT_TRUE(
      std::regex_match(text, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \n")))
      << text;
  EXPECT_EQ(written, static_cast<int>(text.size()));
}

TEST_F(LoggerTest, InitThatCannotOpenEndsTheProcess) {
  const std::string path = dir_.path();  // a directory cannot be opened for appending
  EXPECT_EXIT(qzlogger::init(path.c_str()), testing::ExitedWithCode(1),
              "^Failed to init qzlogger.\n\n$");
}

// --- the log directory, inside the sandbox ---------------------------------

int today() {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  return local.tm_mday;
}

std::string dayMarker(int day) { return "_day_" + std::to_string(day) + "\n"; }

// A private /var/log (the test directory) holding qzRaVezu/.
class LogDirTest : public LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    box_.binds = {{dir_.path(), "/var/log"}};
  }
  std::string logFile(const std::string& name) const { return dir_ / ("qzRaVezu/" + name); }
  std::string put(const std::string& name, const std::string& text) const {
    return dir_.write("qzRaVezu/" + name, text);
  }
  std::vector<std::string> listing() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_ / "qzRaVezu"))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // InitializeLogger, one record, shutdown; returns the file the logger used.
  BoxedRun initializeInBox() const {
    return runBoxed(box_, [] {
      qzlogger::InitializeLogger();
      qzlogger::logger(Info, "record\n");
      std::string path = fs::read_symlink("/proc/self/fd/" + std::to_string(fileno(qzlogger::fp_)));
      qzlogger::shutdown();
      return path;
    });
  }

  sim::Sandbox box_;
};

// Whether a file continued by initializeInBox() holds `before`, then the time
// header with today's day, the record and the closing line.
testing::AssertionResult isContinued(const std::string& text, const std::string& before) {
  if (text.compare(0, before.size(), before) != 0)
    return testing::AssertionFailure() << "earlier content changed: " << text.substr(0, 200);
  static const std::regex kAppended(std::string(kHeaderPattern) + "\\[     Info\\]  record\n" +
                                    kClosingLine);
  std::smatch match;
  const std::string appended = text.substr(before.size());
  if (!std::regex_match(appended, match, kAppended))
    return testing::AssertionFailure() << "appended: " << appended;
  if (std::stoi(match[1].str()) != today())
    return testing::AssertionFailure() << "day marker " << match[1].str();
  return testing::AssertionSuccess();
}

TEST_F(LogDirTest, CreatesTheDirectoryAndTheMainLogFile) {
  P2P_REQUIRE_SANDBOX();
  BoxedRun run = initializeInBox();
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.result, "/var/log/qzRaVezu/qzra-vezu.log");
  EXPECT_TRUE(isContinued(sim::readFile(logFile("qzra-vezu.log")), ""));
}

TEST_F(LogDirTest, ContinuesTheRotatedFileWithTheLatestTime) {
  P2P_REQUIRE_SANDBOX();
  const std::string marker = dayMarker(today());
  put("qzra-vezu.log", marker);
  put("qzra-vezu-2025-12-31-23:59:59.log", marker);
  put("qzra-vezu-2026-01-02-03:04:05.log", marker);
  put("qzra-vezu-2026-01-02-03:04:04.log", marker);
  put("qzra-vezu-2099-1-2-03:04:05.log", marker);  // not a time stamp of ours
  put("zz-other.log", marker);
  fs::create_directories(logFile("qzra-vezu-2027-01-01-00:00:00.log"));  // a directory
  BoxedRun run = initializeInBox();
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.result, "/var/log/qzRaVezu/qzra-vezu-2026-01-02-03:04:05.log");
  EXPECT_TRUE(isContinued(sim::readFile(logFile("qzra-vezu-2026-01-02-03:04:05.log")), marker));
  for (const char* other :
       {"qzra-vezu.log", "qzra-vezu-2025-12-31-23:59:59.log", "qzra-vezu-2026-01-02-03:04:04.log",
        "qzra-vezu-2099-1-2-03:04:05.log", "zz-other.log"})
    EXPECT_EQ(sim::readFile(logFile(other)), marker) << other;
}

TEST_F(LogDirTest, WithoutRotatedFilesTheMainLogFileIsContinued) {
  P2P_REQUIRE_SANDBOX();
  const std::string marker = dayMarker(today());
  put("qzra-vezu.log", marker);
  put("zz-other.log", marker);
  fs::create_directories(logFile("zzz-directory"));
  BoxedRun run = initializeInBox();
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.result, "/var/log/qzRaVezu/qzra-vezu.log");
  EXPECT_TRUE(isContinued(sim::readFile(logFile("qzra-vezu.log")), marker));
}

struct DayCase {
  const char* name;
  std::string content;  // of the continued log file; DAY stands for today, OTHER for another day
  bool wiped;
};

class LogDayTest : public LogDirTest, public testing::WithParamInterface<DayCase> {};

std::string withDays(std::string text) {
  const std::string today_text = std::to_string(today());
  const std::string other_text = std::to_string(today() % 28 + 1);
  text = std::regex_replace(text, std::regex("DAY"), today_text);
  return std::regex_replace(text, std::regex("OTHER"), other_text);
}

TEST_P(LogDayTest, WipesTheDirectoryOnlyWhenTheStoredDayDiffers) {
  P2P_REQUIRE_SANDBOX();
  const std::string content = withDays(GetParam().content);
  put("qzra-vezu.log", content);
  put("notes.txt", "keep?\n");
  put("old/nested.log", "keep?\n");
  BoxedRun run = initializeInBox();
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.result, "/var/log/qzRaVezu/qzra-vezu.log");
  std::string text = sim::readFile(logFile("qzra-vezu.log"));
  if (GetParam().wiped) {
    EXPECT_EQ(listing(), std::vector<std::string>{"qzra-vezu.log"});
    EXPECT_TRUE(isContinued(text, ""));
  } else {
    EXPECT_EQ(listing(), (std::vector<std::string>{"notes.txt", "old", "qzra-vezu.log"}));
    EXPECT_TRUE(isContinued(text, content));
  }
}

const std::string kLongLine = std::string(255, 'x');
INSTANTIATE_TEST_SUITE_P(
    Cases, LogDayTest,
    testing::Values(DayCase{"SameDay", "text\n_day_DAY\n\nmore\n", false},
                    DayCase{"NoMarker", "text\nmore\n", false}, DayCase{"EmptyFile", "", false},
                    DayCase{"OtherDay", "text\n_day_OTHER\n\n", true},
                    DayCase{"FirstMarkerCounts", "_day_OTHER\n_day_DAY\n", true},
                    DayCase{"MarkerInsideALineIsIgnored", "x _day_OTHER\n_day_DAY\n", false},
                    DayCase{"OnlyAMarkerInsideALine", "x _day_OTHER\n", false},
                    DayCase{"MarkerInsideALineThenOtherDay", "x _day_DAY\n_day_OTHER\n", true},
                    // The marker begins a second 255-character piece of one long line.
                    DayCase{"MarkerAfterAPieceBoundary", kLongLine + "_day_OTHER\n", false},
                    DayCase{"MarkerWithoutNumber", "_day_\n", false}),
    [](const testing::TestParamInfo<DayCase>& info) { return info.param.name; });

TEST_F(LogDirTest, FileOfExactlyTheLimitIsKept) {
  P2P_REQUIRE_SANDBOX();
  const std::string marker = dayMarker(today());
  const std::string content = marker + std::string(20480 - marker.size(), '.');
  put("qzra-vezu.log", content);
  BoxedRun run = initializeInBox();
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.result, "/var/log/qzRaVezu/qzra-vezu.log");
  EXPECT_EQ(listing(), std::vector<std::string>{"qzra-vezu.log"});
  EXPECT_TRUE(isContinued(sim::readFile(logFile("qzra-vezu.log")), content));
}

TEST_F(LogDirTest, FileOneByteOverTheLimitIsRotated) {
  P2P_REQUIRE_SANDBOX();
  const std::string marker = dayMarker(today());
  const std::string content = marker + std::string(20481 - marker.size(), '.');
  put("qzra-vezu.log", content);
  BoxedRun run = initializeInBox();
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> names = listing();
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[1], "qzra-vezu.log");
  EXPECT_TRUE(
      std::regex_match(names[0], std::regex(R"(qzra-vezu-\d{4}-\d\d-\d\d-\d\d:\d\d:\d\d\.log)")))
      << names[0];
  EXPECT_EQ(run.result, "/var/log/qzRaVezu/" + names[0]);
  EXPECT_EQ(sim::readFile(logFile("qzra-vezu.log")), content + kClosingLine);
  EXPECT_TRUE(isContinued(sim::readFile(logFile(names[0])), ""));
}

}  // namespace
