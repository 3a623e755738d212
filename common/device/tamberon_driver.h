// Where the GPU driver tamberon meets the system: its sysfs directory (one
// BDF-named entry per bound GPU, each with `minor` and `itr_debug`) and its
// device nodes in /dev, whose names carry the driver's name.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

inline constexpr const char* kDriverName = "tamberon";
inline constexpr const char* kDriverDir = "/sys/bus/pci/drivers/tamberon";
// Minors are small numbers; this bounds the text that may pass for one.
inline constexpr size_t kMaxMinorDigits = 10;

// True for a decimal number of 1 to kMaxMinorDigits digits, nothing else.
bool isMinorNumber(const std::string& text);

// The `minor` file of the bound GPU `bdf`.
std::string minorFile(const std::string& bdf);

// What the minor file of the bound GPU `bdf` holds. It is opened without
// blocking and only when it is a regular file.
struct MinorFile {
  bool read = false;  // it opened as a regular file
  // errno of a failed open (ENOENT: missing); 0 when it opened or is no regular file.
  int error = 0;
  std::string word;  // its first word when read; "" when it holds none
};
MinorFile readMinorFile(const std::string& bdf);

// The minor under which the driver knows the bound GPU `bdf`: the first word
// of its minor file, when that is a minor number. Nothing otherwise; then
// `problem`, when given, tells why, naming the file. `open_error`, when given,
// gets the errno of a failed open, 0 when the file opened. The file is opened
// without blocking and only when it is a regular file.
std::optional<std::string> readBoundMinor(const std::string& bdf, std::string* problem = nullptr,
                                          int* open_error = nullptr);
