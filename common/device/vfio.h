// Whether a running guest holds a GPU: a GPU bound to vfio-pci belongs to the
// processes that hold one of its VFIO character devices open, as QEMU does for
// as long as the guest runs: its VFIO group (/dev/vfio/N, N the GPU's IOMMU
// group; sysfs names its number in /sys/class/vfio/N/dev) or its VFIO device
// (/dev/vfio/devices/vfioM, the iommufd way; sysfs names it in the GPU's
// vfio-dev/vfioM/dev).
//
// Read-only and without a process: sysfs links and `dev` files, and stat() of
// every descriptor in /proc/[0-9]*/fd. Descriptors are compared with those
// devices by device number, so a holder is found whatever node it opened, in
// whatever mount namespace (libvirt gives QEMU a /dev of its own).
//
// Listing another user's descriptors needs CAP_DAC_READ_SEARCH, stat()ing
// them CAP_SYS_PTRACE (also for root's processes that hold capabilities the
// caller lacks). A process whose descriptors cannot be read may hold any GPU
// bound to vfio-pci: such GPUs count as possibly in use, never as free.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

// A process holding a GPU's VFIO group or device open.
struct Tenant {
  pid_t pid;
  std::string name;  // /proc/PID/comm
};

// Who holds a GPU bound to vfio-pci.
struct Holders {
  std::vector<Tenant> tenants;  // the processes seen holding it, by ascending PID
  // Why further holders may be out of sight, "" when none can be: "descriptors
  // of 2 processes unreadable: 1, 812" or "no VFIO group or device in sysfs".
  std::string hidden;
  // Whether nothing is known to hold it but holders may be out of sight.
  bool unknown() const { return tenants.empty() && !hidden.empty(); }
};

inline constexpr const char* kVfioDriverName = "vfio-pci";

// True when the `driver` link of GPU `bdf` names vfio-pci: only such a GPU
// can have tenants.
bool boundToVfio(const std::string& bdf);

// BDF -> its holders, for each of `bdfs` bound to vfio-pci, with one walk
// through /proc (none when no GPU is bound to vfio-pci).
std::map<std::string, Holders> gpuHolders(const std::vector<std::string>& bdfs);

// "1234 qemu-system-x86" for each tenant, separated by ", ".
std::string tenantList(const std::vector<Tenant>& tenants);
