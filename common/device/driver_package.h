// The driver's dkms package, its module file, the blacklist, device state.
//
// Success lines are logged at Info; a command that fails is logged at Fatal
// with its exit status. Filesystem queries that fail for another reason than
// absence throw std::filesystem::filesystem_error.
#pragma once

#include <filesystem>
#include <string>

// 1 when the driver tamberon is loaded (its sysfs driver directory exists).
int getDriver();

// First directory of the dkms tree of zorva named only by digits and dots, or "".
std::string getDkmsToZorvaVersion();

// Records the installed version in /var/log/dkms.log, then removes it from
// dkms for every kernel. Nothing happens without an installed version; when
// the record cannot be written the package is kept.
void removeDkmsToZorva();

// With a removal record: reinstalls (dkms add, build, install) the recorded
// version when /usr/src holds its source, then deletes the record. The success
// line is logged only when all three dkms commands succeeded.
void installDkmsToZorva();

// Moves the running kernel's tamberon.ko aside to tamberon.ko.bk, and back.
// Each acts only when its source file exists, and logs success only when mv
// succeeded. When the kernel release cannot be read they do nothing.
void removeTamberonkoFile();
void restoreTamberonkoFile();

// Deletes every blacklist line that mentions tamberon. Always 0.
int removeTamberonFromBlacklist();

// Sets the Command register to 0x06 (memory space and bus master) with setpci,
// twice. A BDF text too long for the 64-byte command line is refused unrun.
void enablePciDevice(std::string bdf);

// The device's sysfs directory with every link resolved; throws
// std::filesystem::filesystem_error when the device does not exist.
std::filesystem::path getRealpathByBusId(std::string bdf);

// The path without its first 24 characters ("/sys/devices/pcidddd:bb/"): the
// chain of BDF names from the root port down. "" for a shorter path.
std::string removeRealpathPrefix(std::filesystem::path path);
