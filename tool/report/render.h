// The renderers of p2ptool --status: they read the model only, never sysfs
// or a file.
#pragma once

#include <string>
#include <vector>

#include "common/log/console.h"
#include "tool/report/model.h"
#include "tool/text_lines.h"

// One line of the text report (without its line end) and its priority:
// warning for the lines that state a problem, info for the rest.
using ReportLine = TextLine;

// The text report (text.cc); with `whole_matrix` the P2P matrix of every host
// GPU however many there are.
std::vector<ReportLine> statusLines(const Status& status, bool whole_matrix = false);
// The P2P matrix of the text report (matrix.cc): one of all host GPUs, or of
// each group's on a host of more than 16 unless `whole`.
std::vector<ReportLine> matrixLines(const Status& status, const HostStatus& host, bool whole);
// The JSON document (json.cc).
std::string statusJson(const Status& status);
// The metrics in the Prometheus text format (metrics.cc).
std::string statusMetrics(const Status& status);
