// Finding the supported GPUs in the sysfs PCI tree.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

// The sysfs PCI directory; every per-device file name is this + BDF + "/file".
inline constexpr const char* kSysPciDevices = "/sys/bus/pci/devices/";
// The per-function file holding the PCI device ID ("0x0003\n").
inline constexpr const char* kDeviceIdFile = "/device";
// PCI vendor ID of the supported GPUs.
inline constexpr int kGpuVendorId = 0x1cb7;

// Resolved device paths of the supported GPUs that answer on the bus.
std::set<std::filesystem::path> GetAllDevicePath();

// BDF strings of the supported GPUs whose probe succeeds, in listing order.
std::vector<std::string> GetAllDeviceBusId();

// Domain and ':' ("dddd:", "10000:") of the first listed device, or "".
std::string getDomain();

// PCI device ID of a function, from its sysfs `device` file.
int getDeviceId(const std::string& bdf);
