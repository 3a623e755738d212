// Running shell commands and capturing what they print.
#pragma once

#include <string>

// Runs `command` through /bin/sh and stores its output in `buf` (size `len`),
// cut at a piece boundary so that at most len - 1 characters are kept. Returns
// `buf`, or nullptr (buf untouched) when the shell cannot be started.
char* cmdResult(const char* command, char* buf, int len);

// Runs `command` through /bin/sh and replaces `out` with everything it
// printed. Returns a copy of `out`; when the shell cannot be started, `out` is
// left as it was and returned unchanged.
std::string cmdResult(const std::string& command, std::string& out);

// Formats `format` (one %s, receiving `argument`) into a 100-byte command
// line, runs it and discards the output. A command line that would not fit is
// refused with a message; nothing runs then.
void executePcieCommand(const std::string& argument, const char* format);

// Full path of `name` in the first PATH component where it exists, as formed
// (component + "/" + name); empty when not found or PATH is unset.
std::string whichBinary(std::string name);

// Sets TERM=screen for this process and its children. 0 on success.
int SetTerminalEnvironment();
