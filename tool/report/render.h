// The renderers of p2ptool --status: they read the model only, never sysfs
// or a file.
#pragma once

#include <string>
#include <vector>

#include "common/log/console.h"
#include "tool/report/model.h"

// One line of the text report (without its line end) and its priority:
// warning for the lines that state a problem, info for the rest.
struct ReportLine {
  Priority priority;
  std::string text;
};

// The text report (text.cc).
std::vector<ReportLine> statusLines(const Status& status);
// The JSON document (json.cc).
std::string statusJson(const Status& status);
// The metrics in the Prometheus text format (metrics.cc).
std::string statusMetrics(const Status& status);
