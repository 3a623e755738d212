#include "tool/document.h"

#include <limits.h>
#include <unistd.h>

namespace {

constexpr int kSchemaVersion = 1;
constexpr size_t kOffsetMinutes = 2;  // "+0100": the colon goes before the minutes

std::string hostname() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace

std::string isoTime(time_t time) {
  struct tm local {};
  char text[40];
  if (!::localtime_r(&time, &local) ||
      strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0)
    return "";
  std::string iso = text;
  return iso.insert(iso.size() - kOffsetMinutes, ":");
}

nlohmann::json documentHeader(const std::string& kind, time_t time) {
  return {{"schema_version", kSchemaVersion},
          {"kind", kind},
          {"hostname", hostname()},
          {"time", isoTime(time)},
          {"version", P2P_VERSION}};
}
