// A simulated PCIe fabric: a fake sysfs tree laid out in a directory, ready to
// be bound over /sys by the sandbox (Sandbox::sys = Fabric::sysDir()).
//
// Functions are named by BDF strings (dddd:bb:dd.f, the domain 4 to 8 hex
// digits) and hang below a host bridge ("pci0000:3a", "pci10000:00") or below
// a bridge function (root port, switch port):
//   <root>/sys/devices/pci0000:3a/0000:3a:00.0/0000:3b:00.0/...   function dirs
//   <root>/sys/bus/pci/devices/<BDF> -> ../../../devices/...       relative links
// Each function has `config` (4096 bytes with real capability lists), `vendor`,
// `device`, `class`, `irq` and `resource`; GPUs also a sparse memory window
// `resource0` and a register window `resource2`. Bridge bus numbers (primary,
// secondary, subordinate) follow from the functions below them and are kept
// up to date as functions are added, so pciutils draws the tree.
//
// Builders throw std::invalid_argument for malformed names and for layouts a
// PCI bus cannot have (a child on its parent's bus, two bridges leading to
// one bus, a root port below a switch...); accessors throw std::out_of_range
// for an unknown BDF and std::system_error when a file cannot be accessed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/util/scoped.h"
#include "tests/sim/config_space.h"

namespace sim {

constexpr uint16_t kGpuVendor = 0x1cb7;
constexpr uint16_t kSingleChipDevice = 0x0001;
constexpr uint16_t kDualChipDevice = 0x0003;
constexpr uint64_t kAreaOffset = 0x200000;       // exchange area in the memory window
constexpr size_t kAreaSpan = 0x100;              // bytes one memory transfer maps past it
constexpr size_t kDefaultWindowSize = 0x400000;  // resource0, sparse
constexpr size_t kRegisterWindowSize = 0x8000;   // resource2
constexpr char kDriverName[] = "tamberon";
constexpr uint16_t kGpuCommand = 0x0546;  // what firmware leaves in a GPU's Command register
// Power Management Control/Status of a GPU in D0 with No_Soft_Reset set, as
// GPUs report it. No_Soft_Reset is read-only on real hardware; the fabric
// cannot refuse a write to it, so tests check that nothing tries.
constexpr uint16_t kGpuPmControl = 0x0008;
constexpr uint32_t kGpuClass = 0x030200;       // display controller: 3D controller
constexpr uint32_t kGpuAudioClass = 0x040300;  // the audio function beside display outputs
constexpr uint16_t kGpuAudioDevice = 0x00a1;
constexpr char kVfioDriverName[] = "vfio-pci";
// Majors of the simulated VFIO nodes: a VFIO group's (minor: the group number)
// and a VFIO device's (/dev/vfio/devices/vfioN, minor N). No driver serves
// them, so nothing on the machine holds a device of that number.
constexpr unsigned kVfioGroupMajor = 3990;
constexpr unsigned kVfioDeviceMajor = 3991;
// Device ID an SR-IOV virtual function of a GPU shows in its sysfs `device` file.
constexpr uint16_t kVfDevice = 0x0101;

// Board registers (offsets in the register window).
constexpr uint32_t kRegBoardIdLegacy = 0x7818;
constexpr uint32_t kRegBoardProduct = 0x78C0;
constexpr uint32_t kRegCustomId = 0x78F8;
constexpr uint32_t kRegQmBoard = 0x72C0;

enum class Kind { kRootPort, kUpstreamPort, kDownstreamPort, kGpu, kVirtualFunction, kOther };

struct PortOptions {
  std::optional<bool> acs;                    // has an ACS extended capability; nothing: all
                                              // but upstream ports have one, as on real switches
  uint16_t acs_control = kDefaultAcsControl;  // its initial ACS Control word
  uint16_t vendor = 0;                        // 0: the default of the port kind
  uint16_t device = 0;                        // 0: the default of the port kind
  bool bus_link = true;      // false: a bare directory with no sys/bus/pci/devices link
  bool service_dirs = true;  // port-service subdirectories ("<BDF>:pcie002") of root and
                             // downstream ports
};

struct GpuOptions {
  uint16_t device = kSingleChipDevice;
  uint64_t bar0 = 0;                        // BAR0 base address; 0: one derived from the BDF
  bool bar0_32bit = false;                  // BAR0 a 32-bit memory BAR (bar0 below 4 GiB) ...
  uint32_t bar1 = 0;                        // ... with BAR1 holding this
  uint16_t command = kGpuCommand;           // Command register (0x04)
  uint32_t class_code = kGpuClass;          // a class of 0x03xxxx, 0x12xxxx or 0x0b40xx
  uint16_t pm_control = kGpuPmControl;      // Power Management Control/Status
  std::map<uint32_t, uint32_t> registers;   // register window offset -> initial value
  size_t window_size = kDefaultWindowSize;  // size of resource0
  uint64_t serial = 0;                      // Device Serial Number, when not 0
};

struct FunctionOptions {  // an endpoint of another vendor (a network card by default)
  uint16_t vendor = 0x1f5e;
  uint16_t device = 0x1017;
  uint32_t class_code = 0x020000;
};

// The audio function a GPU with display outputs carries at function 1: the
// GPU's vendor ID, not a GPU.
inline const FunctionOptions kGpuAudio = {kGpuVendor, kGpuAudioDevice, kGpuAudioClass};

// Packed BDF number: domain << 16 | bus << 8 | device << 5 | function.
uint64_t packBdf(const std::string& bdf);

class Fabric {
 public:
  // Works in root: loads the tree already there (root/sys/devices), else
  // starts an empty one. root must exist.
  explicit Fabric(std::string root);
  Fabric(const Fabric&) = delete;
  Fabric& operator=(const Fabric&) = delete;
  Fabric(Fabric&&) = default;
  Fabric& operator=(Fabric&&) = default;

  const std::string& root() const { return root_; }
  std::string sysDir() const;  // root/sys: what the sandbox binds over /sys

  // --- building; parent is a BDF of a bridge or a host bridge name ---
  void addHostBridge(const std::string& name);  // made implicitly by the adders too
  void addRootPort(const std::string& bdf, const std::string& host_bridge,
                   const PortOptions& options = {});
  void addUpstreamPort(const std::string& bdf, const std::string& parent,
                       const PortOptions& options = {});
  void addDownstreamPort(const std::string& bdf, const std::string& upstream,
                         const PortOptions& options = {});
  void addGpu(const std::string& bdf, const std::string& parent, const GpuOptions& options = {});
  void addFunction(const std::string& bdf, const std::string& parent,
                   const FunctionOptions& options = {});

  // A switch: upstream port below parent, downstream ports below it.
  void addSwitch(const std::string& parent, const std::string& upstream,
                 const std::vector<std::string>& downstream, const PortOptions& options = {});
  // A dual-chip board below parent (a downstream or root port): its own switch
  // (upstream port, two downstream ports) with one GPU chip below each.
  void addDualChipBoard(const std::string& parent, const std::string& upstream,
                        const std::array<std::string, 2>& downstream,
                        const std::array<std::string, 2>& gpus, uint16_t device = kDualChipDevice);
  // A GPU directly below a root port of host_bridge.
  void addGpuBelowRootPort(const std::string& host_bridge, const std::string& root_port,
                           const std::string& gpu, const GpuOptions& options = {});
  // Passthrough: a GPU directly on its root bus (host bridge made from the
  // BDF, e.g. pci0000:00) that is host_gpu of host: resource0 and resource2 are
  // hard links to host's files (same card memory and registers) and the device
  // ID is host's. guest_bar0 0: one derived from the BDF. Both roots must lie
  // on one file system. With a parent (a root port), the GPU sits below it
  // instead, as q35 guests place passed-through devices.
  void addGuestGpu(const std::string& bdf, const Fabric& host, const std::string& host_gpu,
                   uint64_t guest_bar0 = 0, const std::string& parent = "");
  // SR-IOV: virtual functions of GPU `pf` at `vfs`, beside it below the same
  // parent. Each has a `physfn` link to the PF, the PF a `virtfn<N>` link to
  // the N-th of `vfs` and `sriov_numvfs`. Their configuration space reads
  // vendor and device 0xFFFF, as virtual functions answer, while their sysfs
  // `vendor` and `device` files name the PF's vendor and `device`; their class
  // is the PF's, their BAR0 reads 0, and they have the windows of a GPU.
  void addVirtualFunctions(const std::string& pf, const std::vector<std::string>& vfs,
                           uint16_t device = kVfDevice);

  // --- layout queries ---
  std::vector<std::string> functions() const;  // all BDFs, ascending
  std::vector<std::string> gpus() const;       // BDFs of vendor 0x1cb7, ascending
  std::vector<std::string> hostBridges() const;
  bool has(const std::string& bdf) const;
  Kind kindOf(const std::string& bdf) const;
  std::string parentOf(const std::string& bdf) const;                  // BDF or host bridge name
  std::vector<std::string> childrenOf(const std::string& name) const;  // ascending
  std::string dir(const std::string& bdf) const;                       // function dir, host view
  std::string devicePath(const std::string& bdf) const;  // "/sys/devices/...", sandbox view

  // --- config space (little-endian; width 1, 2, 4 or 8 bytes) ---
  uint64_t readConfig(const std::string& bdf, size_t offset, size_t width) const;
  void writeConfig(const std::string& bdf, size_t offset, size_t width, uint64_t value);
  std::vector<uint8_t> configBytes(const std::string& bdf) const;  // all 4096
  uint16_t command(const std::string& bdf) const;                  // 0x04
  // Power Management Control/Status; nothing without a Power Management capability.
  std::optional<uint16_t> pmControl(const std::string& bdf) const;
  uint64_t bar0(const std::string& bdf) const;        // BAR0 (with BAR1 when 64-bit), flags cleared
  int acsOffset(const std::string& bdf) const;        // ACS extended capability, or -1
  uint16_t acsControl(const std::string& bdf) const;  // throws std::out_of_range without ACS
  void setAcsControl(const std::string& bdf, uint16_t value);
  // Replaces the standard capability list: 0x34 -> 0x40, entries 0x10 apart.
  void setCapabilityList(const std::string& bdf, const std::vector<CapEntry>& caps);
  // A standard capability list as some functions keep theirs: `id` (MSI with
  // its Message Address at +4, or a vendor-specific capability with vendor
  // bytes there) first, then Power Management (its control word kept) and the
  // PCI Express capability's first words.
  void putCapabilityFirst(const std::string& bdf, uint8_t id);
  // The function stops answering: all of config reads 0xFF and, for a GPU,
  // so does the exchange area of its memory window (unless window_too is false).
  void markVanished(const std::string& bdf, bool window_too = true);

  // --- GPU windows ---
  void setRegister(const std::string& gpu, uint32_t offset, uint32_t value);
  uint32_t reg(const std::string& gpu, uint32_t offset) const;
  void writeWindow(const std::string& gpu, uint64_t offset, const std::vector<uint8_t>& bytes);
  std::vector<uint8_t> readWindow(const std::string& gpu, uint64_t offset, size_t length) const;
  void writeWindowWords(const std::string& gpu, uint64_t offset,
                        const std::vector<uint64_t>& words);
  std::vector<uint64_t> readWindowWords(const std::string& gpu, uint64_t offset,
                                        size_t count) const;

  // --- the GPU driver ---
  // Binds bdf to the driver: sys/bus/pci/drivers/tamberon/<BDF> (relative
  // link to the function dir, beside bind/unbind/uevent files and a module
  // link), and in the function dir `minor` (minor + "\n"), `itr_debug` and a
  // `driver` link. With fifo_itr_debug, itr_debug is a FIFO this object keeps
  // open, so every line written into it is kept (see itrDebugLines); otherwise
  // a plain file (each shell "> itr_debug" replaces the previous line).
  void bindDriver(const std::string& bdf, const std::string& minor, bool fifo_itr_debug = true);
  // Undoes bindDriver: the driver's entry, `minor`, `itr_debug` and `driver` go.
  void unbindDriver(const std::string& bdf);
  std::string driverDir() const;  // host view of sys/bus/pci/drivers/tamberon
  // Lines written to bdf's itr_debug so far (all of them for a FIFO).
  std::vector<std::string> itrDebugLines(const std::string& bdf);
  // bdf's FIFO itr_debug takes `bytes` more and then stops being read, as a
  // driver that hangs: a write that does not fit whole blocks until the
  // writer gives up. Reading the lines (itrDebugLines) makes room again, so
  // read them once the writer is done. Throws when the pipe cannot be sized.
  void stopReadingItrDebugAfter(const std::string& bdf, size_t bytes);

  // --- passthrough ---
  // Binds bdf to vfio-pci in IOMMU group `group` as a kernel with VFIO groups
  // and VFIO device files does: a `driver` link to sys/bus/pci/drivers/vfio-pci,
  // an `iommu_group` link to sys/kernel/iommu_groups/<group> (whose devices/
  // lists bdf); the group's class device sys/class/vfio/<group> with its `dev`
  // file ("3990:<group>") and its node <dev_dir>/vfio/<group>; the device's
  // entry vfio-dev/vfio<N> with its `dev` file ("3991:<N>", N counting the
  // bound functions from 0), linked from sys/class/vfio-dev/, and its node
  // <dev_dir>/vfio/devices/vfio<N>. The nodes are character devices of those
  // numbers; dev_dir is what the sandbox binds over /dev. Returns the group
  // node's path.
  std::string bindVfio(const std::string& bdf, unsigned group, const std::string& dev_dir);
  // The VFIO device node of a function bound by bindVfio with this dev_dir.
  std::string vfioDeviceNode(const std::string& bdf, const std::string& dev_dir) const;

  // --- the CPU ---
  // The machine's /proc/cpuinfo (root/proc/cpuinfo): one processor whose
  // flags carry "hypervisor" (a virtual machine's CPU) or not.
  void setHypervisorFlag(bool on);
  // Its path, for Sandbox::cpuinfo; "" when none was set.
  std::string cpuinfoPath() const;

  // --- odd trees, for code that only reads sysfs files ---
  // As addGpu, without checking that a PCI bus could have the GPU there: below
  // another GPU, or directly on a host bridge of another bus number.
  void addGpuAnywhere(const std::string& bdf, const std::string& parent,
                      const GpuOptions& options = {});
  // Replaces the text of one of bdf's files (such as "vendor" or "device") or,
  // with std::nullopt, removes it (such as "resource2": no register window).
  // Layout queries still answer as the function was built.
  void setFileText(const std::string& bdf, const std::string& name,
                   const std::optional<std::string>& text);

 private:
  struct Node {
    std::string parent;
    Kind kind;
    std::string rel;  // below sys/devices
  };

  const Node& node(const std::string& bdf) const;
  std::string configPath(const std::string& bdf) const;
  std::string filePath(const std::string& bdf, const char* name) const;
  void addNode(const std::string& bdf, const std::string& parent, Kind kind,
               const std::vector<uint8_t>& config);
  void checkPlacement(const std::string& bdf, const std::string& parent, Kind kind) const;
  void checkBusRanges() const;
  // {secondary, subordinate} of a bridge with functions below it.
  std::optional<std::pair<unsigned, unsigned>> busRange(const std::string& bridge) const;
  void refreshBuses();
  void load();
  void loadDir(const std::string& rel, const std::string& parent);
  void makeGpuWindows(const std::string& bdf, const GpuOptions& options);
  void ensureDriverDir();
  void finishPort(const std::string& bdf, const PortOptions& options);

  std::string root_;
  std::map<std::string, Node> nodes_;
  std::vector<std::string> host_bridges_;
  std::map<std::string, ScopedFd> itr_fifos_;
  std::map<std::string, std::string> itr_received_;
  std::map<std::string, size_t> itr_filler_;  // bytes still to drop from the FIFO
  bool anywhere_ = false;                     // addGpuAnywhere: placement not checked
};

}  // namespace sim
