// What a run mode left undone. The modes go on with the next GPU or port
// after a failure and say so here; main makes it the exit status at the end.
#pragma once

// Records that part of the run's work was not done (a port whose ACS stays
// on, a window not written, a peer file not stored, a GPU left alone...).
void leaveUndone();

// Whether anything was recorded since the start of the run.
bool anythingUndone();
