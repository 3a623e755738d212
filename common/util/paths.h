// Path tests and the running executable's directory.
#pragma once

#include <string>

// True when `path` itself (not a link's target) is a directory; false when it
// cannot be examined.
bool is_dir_exist(const char* path);

// True when `path` exists, following symbolic links.
bool is_file_exist(std::string path);

// Directory of the running executable (no trailing slash), or empty.
std::string get_current_dir();
