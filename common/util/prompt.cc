#include "common/util/prompt.h"

#include <iostream>
#include <string>

bool get_valid_select(std::vector<uint32_t> allowed, uint32_t& out) {
  std::string line;
  std::getline(std::cin, line);
  for (uint32_t value : allowed) {
    if (line == std::to_string(value)) {
      // The line is exactly this value's decimal text, so the value is the
      // conversion of the line, whatever its size (no signed overflow above 2^31 - 1).
      out = value;
      return true;
    }
  }
  return false;
}
