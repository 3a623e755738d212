#include "tool/undone.h"

namespace {

bool undone = false;

}  // namespace

void leaveUndone() { undone = true; }

bool anythingUndone() { return undone; }
