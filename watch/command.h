// Driver commands run through /bin/sh with a time limit. The shell runs in a
// process group of its own and dies with the daemon; a command that overruns
// is ended together with its whole group.
#pragma once

#include <chrono>
#include <string>

// Time one driver command may take. A driver answers a write to its control
// file within microseconds; a shell starts within milliseconds even on a
// loaded machine. Three seconds leave ample room for both and still let a
// stuck driver cost only seconds per GPU.
inline constexpr std::chrono::milliseconds kCommandTimeLimit{3000};

enum class CommandOutcome { kSucceeded, kFailed, kTimedOut };

// Runs `command` with /bin/sh -c and waits for it at most `limit`.
CommandOutcome runBounded(const std::string& command,
                          std::chrono::milliseconds limit = kCommandTimeLimit);
