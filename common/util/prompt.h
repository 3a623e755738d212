// Interactive choice among numbered items.
#pragma once

#include <cstdint>
#include <vector>

// Reads one line from standard input; true (and the value in `out`) when it is
// exactly the decimal text of one of `allowed` (any 32-bit value).
bool get_valid_select(std::vector<uint32_t> allowed, uint32_t& out);
