// Ground every program of the toolkit stands on before it opens anything: a
// program started with a standard descriptor closed (`p2ptool >&-`, a broken
// service manager, a cron line) would otherwise get a device file as
// descriptor 1 and write its messages into it, and one whose output reader
// went away (`p2ptool -w | head -1`) would die of SIGPIPE halfway through.
#pragma once

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, and makes
// a write to a pipe without a reader fail with EPIPE instead of ending the
// program: SIGPIPE is caught by a handler that does nothing, so that the
// commands the program starts get the default action back at exec. Call it
// first in main. False, after a message on standard error, when /dev/null
// cannot be opened: the program must then open nothing and end.
bool prepareStandardStreams();
