// The plan as p2ptool -n prints it: text lines, or one JSON document of
// schema version 1 ("kind": "plan"; p2ptool.8, DRY RUN). Renderers read the
// model only.
#pragma once

#include <string>
#include <vector>

#include "common/log/console.h"
#include "tool/plan/model.h"
#include "tool/text_lines.h"

// One line of the text (without its line end): warning priority for a line
// that says the run would leave work undone, information for the rest.
using PlanLine = TextLine;

std::vector<PlanLine> planLines(const Plan& plan);
std::string planJson(const Plan& plan);
