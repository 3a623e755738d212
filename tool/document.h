// The header of every JSON document p2ptool prints (p2ptool.8, "JSON
// document"): the same members in the status report and the plan.
#pragma once

#include <time.h>

#include <nlohmann/json.hpp>
#include <string>

// "schema_version" (1), "kind" ("report" or "plan"), "hostname" (this
// machine's, as gethostname gives it), "time" (of the check or the plan) and
// "version" (p2ptool's).
nlohmann::json documentHeader(const std::string& kind, time_t time);

// ISO 8601 local time with its offset from UTC: "2026-12-07T12:00:03+01:00".
std::string isoTime(time_t time);
