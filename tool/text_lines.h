// Text given as lines, each with its priority: the plan p2ptool -n shows
// (tool/plan/render.h) and the report of p2ptool --status
// (tool/report/render.h).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "common/log/console.h"

// One line (without its line end) and its priority.
struct TextLine {
  Priority priority;
  std::string text;
};

// Each line onto `stream` at its priority, ended.
inline void printLines(FILE* stream, const std::vector<TextLine>& lines) {
  for (const TextLine& line : lines) reportText(stream, line.priority, line.text + "\n");
}
