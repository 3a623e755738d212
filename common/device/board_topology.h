// Whether two GPUs share a board, judged by their fourth ancestor in sysfs.
#pragma once

#include <string>

// Full path of the directory four levels above the function's device path;
// empty when the BDF string names no function.
std::string getTr240LastBoardSwitchPath(std::string bdf);

// The two fourth ancestors are equal as whole paths. A BDF string that names
// no function gives the empty path, so two such strings count as equal.
bool chipSameBoard(std::string bdf_a, std::string bdf_b);

// The two fourth ancestors have the same last component. Throws
// std::filesystem::filesystem_error for a BDF string that names no function.
bool onSameBoard(std::string bdf_a, std::string bdf_b);
