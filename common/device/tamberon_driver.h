// Where the GPU driver tamberon meets the system: its sysfs directory (one
// BDF-named entry per bound GPU, each with `minor` and `itr_debug`) and its
// device nodes in /dev, whose names carry the driver's name.
#pragma once

inline constexpr const char* kDriverName = "tamberon";
inline constexpr const char* kDriverDir = "/sys/bus/pci/drivers/tamberon";
