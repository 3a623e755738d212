// p2ptool -n: a run mode's plan, made read-only. Discovery and analysis run
// as in the real run but write nothing (discovery's writes are plan steps),
// and their messages go to standard error, so that standard output carries
// the plan alone; then the mode's planner (tool/plan/planners.h).
#pragma once

#include "tool/plan/model.h"

Plan makePlan(RunMode mode, bool force);
