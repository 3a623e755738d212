// The header of every JSON document p2ptool prints (p2ptool.8, "JSON
// document"): the same members in the status report and the plan; and the
// rules both documents write their members by.
#pragma once

#include <time.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "common/device/vfio.h"

// "schema_version" (1), "kind" ("report" or "plan"), "hostname" (this
// machine's, as gethostname gives it), "time" (of the check or the plan) and
// "version" (p2ptool's).
nlohmann::json documentHeader(const std::string& kind, time_t time);

// ISO 8601 local time with its offset from UTC: "2026-12-07T12:00:03+01:00".
std::string isoTime(time_t time);

// This machine's name as gethostname gives it; "" when it cannot be had.
std::string hostname();

// The document as p2ptool prints it: indented by two spaces, bytes that are
// not UTF-8 as U+FFFD, a newline at the end.
std::string documentText(const nlohmann::json& document);

// `value` when `present`, else null.
nlohmann::json orNull(bool present, const nlohmann::json& value);

// The value, or null.
template <typename T>
nlohmann::json optionalJson(const std::optional<T>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json();
}

// Table words as hexadecimal strings of 16 digits.
nlohmann::json hexWords(const std::vector<uint64_t>& words);

// The processes holding a GPU: {"pid", "name"} each.
nlohmann::json tenantsJson(const std::vector<Tenant>& tenants);
