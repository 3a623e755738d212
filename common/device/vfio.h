// Whether a running guest holds a GPU: a GPU bound to vfio-pci belongs to the
// process that holds its VFIO group (/dev/vfio/N, N the GPU's IOMMU group)
// open, as QEMU does for as long as the guest runs.
//
// Read-only and without a process: sysfs links, stat() of the group node and
// of every descriptor in /proc/[0-9]*/fd. Descriptors are compared with the
// node by device and inode, so a holder is found whatever mount namespace it
// opened the node in. A process whose descriptors cannot be read (another
// user's, for a caller without privileges) is skipped.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

// A process holding a GPU's VFIO group open.
struct Tenant {
  pid_t pid;
  std::string name;  // /proc/PID/comm
};

inline constexpr const char* kVfioDriverName = "vfio-pci";
inline constexpr const char* kVfioDevDir = "/dev/vfio/";

// True when the `driver` link of GPU `bdf` names vfio-pci: only such a GPU
// can have tenants.
bool boundToVfio(const std::string& bdf);

// The processes holding the VFIO group of GPU `bdf` open, by ascending PID;
// empty unless the GPU's `driver` link names vfio-pci, its `iommu_group` link
// names a group and some process holds that group's node open.
std::vector<Tenant> gpuTenants(const std::string& bdf);
// The same for many GPUs with one walk through /proc: BDF -> its tenants, for
// the GPUs that have some.
std::map<std::string, std::vector<Tenant>> gpuTenants(const std::vector<std::string>& bdfs);

// "1234 qemu-system-x86" for each tenant, separated by ", ".
std::string tenantList(const std::vector<Tenant>& tenants);
