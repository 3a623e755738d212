// Applying a plan (tool/plan/model.h): each step is performed and checked,
// each failure reported with the run's own message and left undone
// (tool/undone.h), the next item following. With change lines on (-v), each
// change is said at information priority once done and checked, the value
// read back where the run reads back; so is each table already current and
// each peer file unchanged.
#pragma once

#include <vector>

#include "tool/plan/model.h"

void setChangeLines(bool on);

// With change lines on, "Nothing changed." when nothing was changed since the
// start of the run.
void reportIfNothingChanged();

// Discovery's step for one GPU, planned as root, whose configuration file is
// open as `fd` for writing (-1 when it did not open). A GPU the enumeration
// skipped has had its message; a GPU a guest holds is warned of with the
// step's reason.
void applyGpuWords(const GpuStep& step, int fd);

// The ACS step, port by port in the plan's order.
void applyPorts(const std::vector<PortStep>& ports);

// -w: first names each GPU in no group, then group by group.
void applyTables(const WritePlan& plan);

// -r: a warning where the machine looks like a host (and GPUs were found),
// the directory, the leftovers of an interrupted run, then GPU by GPU, each
// named with its side ("guest 0000:00:05.0").
void applyPeerFiles(const ReadPlan& plan);
