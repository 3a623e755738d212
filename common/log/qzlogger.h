// The library's logger: console output by level and, once a log file is open,
// a record per message in /var/log/qzRaVezu/. Static members only.
#pragma once

#include <cstdio>
#include <mutex>

enum LogLevel { Debug = 0, View = 1, Info = 2, Record = 3, Warning = 4, Error = 5, Fatal = 6 };

class qzlogger {
 public:
  qzlogger() {}
  ~qzlogger() {}

  static void logger(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));
  static void silent();
  static void InitializeLogger();
  static void init(const char* path);
  static void shutdown();
  static void rotateLogFile();
  static void clearLogFile();
  static void CurrentTime();
  static int GetTimeMs();

  static const char* log_prefix[7];
  static bool silent_;
  static FILE* fp_;
  static std::mutex mtx;
};
