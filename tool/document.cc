#include "tool/document.h"

#include <limits.h>
#include <unistd.h>

#include "common/util/convert.h"

namespace {

constexpr int kSchemaVersion = 1;
constexpr size_t kOffsetMinutes = 2;  // "+0100": the colon goes before the minutes
constexpr int kWordDigits = 16;

}  // namespace

std::string hostname() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

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

std::string documentText(const nlohmann::json& document) {
  return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

nlohmann::json orNull(bool present, const nlohmann::json& value) {
  return present ? value : nlohmann::json();
}

nlohmann::json hexWords(const std::vector<uint64_t>& words) {
  nlohmann::json list = nlohmann::json::array();
  for (const uint64_t word : words) list.push_back(hexNumber(word, kWordDigits));
  return list;
}

nlohmann::json tenantsJson(const std::vector<Tenant>& tenants) {
  nlohmann::json list = nlohmann::json::array();
  for (const Tenant& tenant : tenants) list.push_back({{"pid", tenant.pid}, {"name", tenant.name}});
  return list;
}
