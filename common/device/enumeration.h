// Finding the supported GPUs in the sysfs PCI tree.
#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

// The sysfs PCI directory; every per-device file name is this + BDF + "/file".
inline constexpr const char* kSysPciDevices = "/sys/bus/pci/devices/";
// The per-function file holding the PCI device ID ("0x0003\n").
inline constexpr const char* kDeviceIdFile = "/device";
// PCI vendor ID of the supported GPUs.
inline constexpr int kGpuVendorId = 0x1cb7;
// The per-function file holding the class code ("0x030200\n").
inline constexpr const char* kClassFile = "/class";

// A supported GPU: a function of vendor 0x1cb7 whose class code (base class,
// subclass, programming interface) is a display controller (0x03xxxx), a
// processing accelerator (0x12xxxx) or a co-processor (0x0b40xx). The vendor's
// other functions, such as the audio function (0x0403xx) beside a GPU with
// display outputs, are not GPUs.
bool isGpuFunction(unsigned vendor, unsigned class_code);
// The same for the function directory `dir` (a sysfs path), from its `vendor`
// file and, for the vendor's functions, its `class` file. std::invalid_argument
// or std::out_of_range when a file needed holds no hexadecimal number.
bool isGpuFunction(const std::string& dir);

// True for an SR-IOV virtual function (its sysfs directory `dir` has a
// `physfn` link): part of its physical function, no GPU of its own. Passed
// through into a guest it has no such link there.
bool isVirtualFunction(const std::string& dir);
// BDF strings of the virtual functions of the function in `dir` (its
// virtfn<N> links), ascending.
std::vector<std::string> virtualFunctions(const std::string& dir);

// A function the enumeration skipped after a message, and why ("does not
// answer its probe").
struct SkippedFunction {
  std::string bdf;
  std::string why;
};

// Resolved device paths of the supported GPUs that answer on the bus;
// virtual functions are none. A function whose vendor or class file holds no
// number is reported and skipped, and so is a GPU that does not answer its
// probe or whose path cannot be resolved; with `left_out`, they are added to
// it. Without `probe` no GPU is probed: a caller other than root, whom
// setpci cannot show the PCI Express capability, gets every supported GPU.
std::set<std::filesystem::path> GetAllDevicePath(std::vector<SkippedFunction>* left_out = nullptr,
                                                 bool probe = true);

// BDF strings of the supported GPUs whose probe succeeds, in listing order.
std::vector<std::string> GetAllDeviceBusId();

// Domain and ':' ("dddd:", "10000:") of the first listed device, or "".
std::string getDomain();

// The number in a sysfs ID file such as `vendor` ("0x1cb7\n"); nothing when
// the file cannot be read or holds no hexadecimal number.
std::optional<unsigned> readSysfsId(const std::string& file);

// PCI device ID of a function, from its sysfs `device` file.
int getDeviceId(const std::string& bdf);
