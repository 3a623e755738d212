// The host view of p2ptool --status, read without writing: every GPU with its
// board, BAR0 and group, the ports the default mode changes, and each grouped
// GPU's exchange table against the one `p2ptool -w` would write now, and the
// running guests that hold GPUs.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "tool/report/model.h"
#include "tool/window_table.h"

// The host view of the GPUs given as BDF string -> resolved device path,
// their windows read through `windows`.
HostStatus hostStatus(const std::map<std::string, std::filesystem::path>& gpus,
                      WindowReads& windows);
