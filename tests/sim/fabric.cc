#include "tests/sim/fabric.h"

#include "tests/sim/tempdir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace sim {
namespace {

namespace fs = std::filesystem;

constexpr char kSysDir[] = "sys";
constexpr char kCpuInfoFile[] = "proc/cpuinfo";
// A processor's flags line as x86 Linux shows it; a virtual machine's adds "hypervisor".
constexpr char kCpuInfoHead[] =
    "processor\t: 0\nvendor_id\t: GenuineIntel\nflags\t\t: fpu vme de pse tsc msr pae";
constexpr char kCpuInfoTail[] = " lahf_lm\nbugs\t\t: spectre_v1\n\n";
constexpr char kDevicesDir[] = "sys/devices";
constexpr char kBusDevicesDir[] = "sys/bus/pci/devices";
constexpr char kDriversDir[] = "sys/bus/pci/drivers";
constexpr char kModulesDir[] = "sys/module";
constexpr char kIommuGroupsDir[] = "sys/kernel/iommu_groups";
constexpr char kIommuGroupLink[] = "iommu_group";
constexpr char kVfioNodeDir[] = "vfio";
constexpr char kVfioDeviceNodeDir[] = "vfio/devices";
constexpr char kVfioClassDir[] = "sys/class/vfio";
constexpr char kVfioDeviceClassDir[] = "sys/class/vfio-dev";
constexpr char kVirtualVfioDir[] = "sys/devices/virtual/vfio";
constexpr char kVfioDevEntries[] = "vfio-dev";
constexpr char kVfioDevicePrefix[] = "vfio";
constexpr char kDevFile[] = "dev";
constexpr mode_t kVfioNodeMode = 0600;
constexpr char kPhysFnLink[] = "physfn";
constexpr char kVirtFnPrefix[] = "virtfn";
constexpr char kNumVfsFile[] = "sriov_numvfs";
constexpr uint16_t kVfConfigId = 0xFFFF;  // what a VF's vendor and device ID registers read
constexpr char kSandboxDevices[] = "/sys/devices/";
constexpr char kHostBridgePrefix[] = "pci";

constexpr char kConfigFile[] = "config";
constexpr char kVendorFile[] = "vendor";
constexpr char kDeviceFile[] = "device";
constexpr char kClassFile[] = "class";
constexpr char kIrqFile[] = "irq";
constexpr char kResourceFile[] = "resource";
constexpr char kSubVendorFile[] = "subsystem_vendor";
constexpr char kSubDeviceFile[] = "subsystem_device";
constexpr char kMemoryWindowFile[] = "resource0";
constexpr char kRegisterWindowFile[] = "resource2";
constexpr char kMinorFile[] = "minor";
constexpr char kItrDebugFile[] = "itr_debug";
constexpr char kDriverLink[] = "driver";
constexpr char kModuleLink[] = "module";
constexpr const char* kDriverControlFiles[] = {"bind", "unbind", "uevent", "new_id", "remove_id"};

constexpr char kResourceLine[] = "0x0000000000000000 0x0000000000000000 0x0000000000000000\n";
constexpr int kResourceLines = 13;

constexpr uint16_t kRootPortVendor = 0x1d7a;
constexpr uint16_t kRootPortDevice = 0x2030;
constexpr uint16_t kSwitchVendor = 0x1e4d;
constexpr uint16_t kSwitchDevice = 0x9781;
constexpr uint32_t kBridgeClass = 0x060400;
constexpr uint16_t kPortCommand = 0x0547;
constexpr uint16_t kPortPmControl = 0x0008;
constexpr uint16_t kOtherCommand = 0x0546;
constexpr uint64_t kHostBarBase = 0x0000004000000000;
constexpr uint64_t kGuestBarBase = 0x0000000800000000;
constexpr uint8_t kVanishedByte = 0xFF;
constexpr size_t kMinDomainDigits = 4, kMaxDomainDigits = 8;
constexpr size_t kBusDevFnLength = 8;  // ":bb:dd.f"
constexpr char kServiceDirFormat[] = "%s:pcie%03x";
// Port services the kernel's port driver lists below a port (type << 8 | service).
const std::vector<unsigned> kRootPortServices = {0x001, 0x002};
const std::vector<unsigned> kDownstreamServices = {0x210};
constexpr uint64_t kBarType64 = 0x4;
constexpr uint64_t kBarTypeMask = 0x6;
constexpr mode_t kWindowMode = 0600;                   // resource files: root's alone, as in sysfs
constexpr uint16_t kPmCapabilities = 0x0003;           // PM version 3
constexpr uint16_t kMsiControl64 = 0x0080;             // 64-bit message address
constexpr uint64_t kMsiAddress = 0xFEE00000;           // MSI Message Address (+4) and Upper (+8)
constexpr uint16_t kVendorCapHead = 0x5a0c;            // length 12, then the first vendor byte
constexpr uint64_t kVendorBytes = 0x1122334455667788;  // vendor-defined, from +4 on

struct Bdf {
  unsigned domain, bus, device, function;
};

bool hexAt(const std::string& text, size_t from, size_t count) {
  for (size_t i = from; i < from + count; ++i)
    if (i >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

unsigned hexField(const std::string& text, size_t from, size_t count) {
  return static_cast<unsigned>(std::stoul(text.substr(from, count), nullptr, 16));
}

// Digits of the domain that starts `text` at `from` (4 to 8 hex digits before
// a ':'), or 0.
size_t domainDigits(const std::string& text, size_t from) {
  const size_t colon = text.find(':', from);
  if (colon == std::string::npos) return 0;
  const size_t digits = colon - from;
  if (digits < kMinDomainDigits || digits > kMaxDomainDigits || !hexAt(text, from, digits))
    return 0;
  return digits;
}

Bdf parseBdf(const std::string& bdf) {
  const size_t d = domainDigits(bdf, 0);
  bool shape = d != 0 && bdf.size() == d + kBusDevFnLength && hexAt(bdf, d + 1, 2) &&
               bdf[d + 3] == ':' && hexAt(bdf, d + 4, 2) && bdf[d + 6] == '.' &&
               bdf[d + 7] >= '0' && bdf[d + 7] <= '7';
  if (!shape || hexField(bdf, d + 4, 2) > 0x1F)
    throw std::invalid_argument("not a BDF string: '" + bdf + "'");
  return {hexField(bdf, 0, d), hexField(bdf, d + 1, 2), hexField(bdf, d + 4, 2),
          hexField(bdf, d + 7, 1)};
}

bool isHostBridgeName(const std::string& name) {
  const size_t prefix = sizeof kHostBridgePrefix - 1;
  if (name.rfind(kHostBridgePrefix, 0) != 0) return false;
  const size_t d = domainDigits(name, prefix);
  return d != 0 && name.size() == prefix + d + 3 && hexAt(name, prefix + d + 1, 2);
}

// {domain, bus} of a host bridge name such as pci0000:3a.
std::pair<unsigned, unsigned> hostBridgeBus(const std::string& name) {
  if (!isHostBridgeName(name))
    throw std::invalid_argument("not a host bridge name: '" + name + "'");
  const size_t prefix = sizeof kHostBridgePrefix - 1;
  const size_t d = domainDigits(name, prefix);
  return {hexField(name, prefix, d), hexField(name, prefix + d + 1, 2)};
}

std::string hostBridgeOf(const std::string& bdf) {
  parseBdf(bdf);
  return kHostBridgePrefix + bdf.substr(0, bdf.size() - 5);  // cut ":dd.f"
}

bool isPort(Kind kind) {
  return kind == Kind::kRootPort || kind == Kind::kUpstreamPort || kind == Kind::kDownstreamPort;
}

std::string hex(unsigned value, int digits) {
  char text[32];
  snprintf(text, sizeof text, "0x%0*x\n", digits, value);
  return text;
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::system_error(errno, std::generic_category(), path);
}

ScopedFd openFile(const std::string& path, int flags) {
  ScopedFd fd(open(path.c_str(), flags | O_CLOEXEC, 0644));
  if (!fd.valid()) throw std::system_error(errno, std::generic_category(), path);
  return fd;
}

void writeBytes(const std::string& path, uint64_t offset, const std::vector<uint8_t>& bytes) {
  ScopedFd fd = openFile(path, O_WRONLY | O_CREAT);
  ssize_t done = pwrite(fd.get(), bytes.data(), bytes.size(), static_cast<off_t>(offset));
  if (done != static_cast<ssize_t>(bytes.size()))
    throw std::system_error(errno, std::generic_category(), "write " + path);
}

std::vector<uint8_t> readBytes(const std::string& path, uint64_t offset, size_t length) {
  ScopedFd fd = openFile(path, O_RDONLY);
  std::vector<uint8_t> bytes(length, 0);
  ssize_t done = pread(fd.get(), bytes.data(), length, static_cast<off_t>(offset));
  if (done != static_cast<ssize_t>(length))
    throw std::system_error(errno ? errno : EIO, std::generic_category(), "read " + path);
  return bytes;
}

void makeSparseFile(const std::string& path, size_t size) {
  ScopedFd fd = openFile(path, O_WRONLY | O_CREAT | O_TRUNC);
  if (ftruncate(fd.get(), static_cast<off_t>(size)) != 0 || fchmod(fd.get(), kWindowMode) != 0)
    throw std::system_error(errno, std::generic_category(), "truncate " + path);
}

void makeRelativeLink(const fs::path& target, const fs::path& link) {
  fs::create_directories(link.parent_path());
  fs::remove(link);
  fs::create_symlink(target.lexically_relative(link.parent_path()), link);
}

// A character device node of `major`:`minor` at path, replacing what is there.
void makeCharNode(const std::string& path, unsigned major, unsigned minor) {
  fs::create_directories(fs::path(path).parent_path());
  fs::remove(path);
  if (mknod(path.c_str(), S_IFCHR | kVfioNodeMode, makedev(major, minor)) != 0)
    throw std::system_error(errno, std::generic_category(), "mknod " + path);
}

// A sysfs class device: its directory with the `dev` file ("major:minor"),
// and the class's link to it.
void makeClassDevice(const std::string& dir, const std::string& class_link, unsigned major,
                     unsigned minor) {
  fs::create_directories(dir);
  writeText(dir + "/" + kDevFile, std::to_string(major) + ":" + std::to_string(minor) + "\n");
  makeRelativeLink(dir, class_link);
}

unsigned readHexFile(const std::string& path) {
  std::ifstream in(path);
  std::string word;
  if (!(in >> word)) throw std::system_error(EIO, std::generic_category(), path);
  return static_cast<unsigned>(std::stoul(word, nullptr, 16));
}

std::vector<uint8_t> leBytes(uint64_t value, size_t width) {
  std::vector<uint8_t> bytes(width, 0);
  putLe(bytes, 0, width, value);
  return bytes;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

// The files sysfs shows for every PCI function.
void writeFunctionFiles(const std::string& d, const std::vector<uint8_t>& config) {
  fs::create_directories(d);
  writeBytes(d + "/" + kConfigFile, 0, config);
  unsigned vendor = static_cast<unsigned>(getLe(config, 0, 2));
  unsigned device = static_cast<unsigned>(getLe(config, 2, 2));
  writeText(d + "/" + kVendorFile, hex(vendor, 4));
  writeText(d + "/" + kDeviceFile, hex(device, 4));
  writeText(d + "/" + kSubVendorFile, hex(vendor, 4));
  writeText(d + "/" + kSubDeviceFile, hex(device, 4));
  writeText(d + "/" + kClassFile, hex(static_cast<unsigned>(getLe(config, 0x09, 3)), 6));
  writeText(d + "/" + kIrqFile, "0\n");
  std::string resource;
  for (int i = 0; i < kResourceLines; ++i) resource += kResourceLine;
  writeText(d + "/" + kResourceFile, resource);
}

uint64_t defaultBar0(const std::string& bdf, uint64_t base) {
  Bdf b = parseBdf(bdf);
  return base + (uint64_t{b.bus} << 28) + (uint64_t{b.device} << 23) + (uint64_t{b.function} << 20);
}

FunctionLayout portLayout(Kind kind, const PortOptions& options) {
  FunctionLayout layout;
  bool root = kind == Kind::kRootPort;
  layout.vendor = options.vendor ? options.vendor : (root ? kRootPortVendor : kSwitchVendor);
  layout.device = options.device ? options.device : (root ? kRootPortDevice : kSwitchDevice);
  layout.class_code = kBridgeClass;
  layout.bridge = true;
  layout.type = root ? PortType::kRootPort
                     : (kind == Kind::kUpstreamPort ? PortType::kUpstream : PortType::kDownstream);
  layout.command = kPortCommand;
  layout.pm_control = kPortPmControl;
  layout.acs = options.acs.value_or(kind != Kind::kUpstreamPort);
  layout.acs_control = options.acs_control;
  return layout;
}

// The classes of the vendor's functions that are GPUs.
bool isGpuClass(uint32_t class_code) {
  return class_code >> 16 == 0x03 || class_code >> 16 == 0x12 || class_code >> 8 == 0x0b40;
}

Kind kindFromFiles(const std::string& dir) {
  if (fs::is_symlink(dir + "/" + kPhysFnLink)) return Kind::kVirtualFunction;
  if (readHexFile(dir + "/" + kVendorFile) == kGpuVendor &&
      isGpuClass(readHexFile(dir + "/" + kClassFile)))
    return Kind::kGpu;
  std::vector<uint8_t> config = readBytes(dir + "/" + kConfigFile, 0, kConfigSize);
  if ((config[kHeaderTypeOffset] & 0x7F) != 1) return Kind::kOther;
  switch (pcieType(config)) {
    case static_cast<int>(PortType::kRootPort):
      return Kind::kRootPort;
    case static_cast<int>(PortType::kUpstream):
      return Kind::kUpstreamPort;
    case static_cast<int>(PortType::kDownstream):
      return Kind::kDownstreamPort;
    default:
      return Kind::kOther;
  }
}

// Why a function of this kind cannot sit on a host bridge's root bus, or "".
std::string rootBusProblem(const Bdf& child, const std::string& host_bridge, Kind kind) {
  auto [domain, bus] = hostBridgeBus(host_bridge);
  if (child.domain != domain || child.bus != bus) return "not on the host bridge's root bus";
  if (kind == Kind::kUpstreamPort || kind == Kind::kDownstreamPort)
    return "a switch port needs a port above it";
  return "";
}

// Why a function of this kind cannot sit below a port of kind above, or "".
std::string belowPortProblem(const Bdf& child, const std::string& port, Kind above, Kind kind) {
  if (!isPort(above)) return "the parent is not a bridge";
  Bdf up = parseBdf(port);
  if (child.domain != up.domain || child.bus <= up.bus) return "bus must lie below the parent's";
  if (kind == Kind::kRootPort) return "a root port sits on a host bridge";
  if (kind == Kind::kUpstreamPort && above == Kind::kUpstreamPort)
    return "an upstream port needs a root or downstream port above it";
  if (kind == Kind::kDownstreamPort && above != Kind::kUpstreamPort)
    return "a downstream port needs an upstream port above it";
  return "";
}

}  // namespace

uint64_t packBdf(const std::string& bdf) {
  Bdf b = parseBdf(bdf);
  return uint64_t{b.domain} << 16 | b.bus << 8 | b.device << 5 | b.function;
}

Fabric::Fabric(std::string root) : root_(std::move(root)) {
  if (!fs::is_directory(root_)) throw std::invalid_argument("no such directory: " + root_);
  root_ = fs::absolute(root_).lexically_normal().string();
  if (root_.size() > 1 && root_.back() == '/') root_.pop_back();
  fs::create_directories(root_ + "/" + kDevicesDir);
  fs::create_directories(root_ + "/" + kBusDevicesDir);
  fs::create_directories(root_ + "/" + kDriversDir);
  load();
}

std::string Fabric::sysDir() const { return root_ + "/" + kSysDir; }

// --- building ---

void Fabric::addHostBridge(const std::string& name) {
  hostBridgeBus(name);
  if (std::find(host_bridges_.begin(), host_bridges_.end(), name) != host_bridges_.end()) return;
  fs::create_directories(root_ + "/" + kDevicesDir + "/" + name);
  host_bridges_.push_back(name);
  std::sort(host_bridges_.begin(), host_bridges_.end());
}

void Fabric::addRootPort(const std::string& bdf, const std::string& host_bridge,
                         const PortOptions& options) {
  addNode(bdf, host_bridge, Kind::kRootPort, buildConfig(portLayout(Kind::kRootPort, options)));
  finishPort(bdf, options);
}

void Fabric::addUpstreamPort(const std::string& bdf, const std::string& parent,
                             const PortOptions& options) {
  addNode(bdf, parent, Kind::kUpstreamPort, buildConfig(portLayout(Kind::kUpstreamPort, options)));
  finishPort(bdf, options);
}

void Fabric::addDownstreamPort(const std::string& bdf, const std::string& upstream,
                               const PortOptions& options) {
  addNode(bdf, upstream, Kind::kDownstreamPort,
          buildConfig(portLayout(Kind::kDownstreamPort, options)));
  finishPort(bdf, options);
}

void Fabric::addGpu(const std::string& bdf, const std::string& parent, const GpuOptions& options) {
  FunctionLayout layout;
  layout.vendor = kGpuVendor;
  layout.device = options.device;
  layout.class_code = options.class_code;
  layout.command = options.command;
  layout.pm_control = options.pm_control;
  layout.bar0 = options.bar0 ? options.bar0 : defaultBar0(bdf, kHostBarBase);
  layout.bar0_32bit = options.bar0_32bit;
  layout.bar1 = options.bar1;
  layout.serial = options.serial;
  addNode(bdf, parent, Kind::kGpu, buildConfig(layout));
  makeGpuWindows(bdf, options);
}

void Fabric::addFunction(const std::string& bdf, const std::string& parent,
                         const FunctionOptions& options) {
  FunctionLayout layout;
  layout.vendor = options.vendor;
  layout.device = options.device;
  layout.class_code = options.class_code;
  layout.command = kOtherCommand;
  layout.bar0 = defaultBar0(bdf, kHostBarBase);
  addNode(bdf, parent, Kind::kOther, buildConfig(layout));
}

void Fabric::addSwitch(const std::string& parent, const std::string& upstream,
                       const std::vector<std::string>& downstream, const PortOptions& options) {
  addUpstreamPort(upstream, parent, options);
  for (const auto& port : downstream) addDownstreamPort(port, upstream, options);
}

void Fabric::addDualChipBoard(const std::string& parent, const std::string& upstream,
                              const std::array<std::string, 2>& downstream,
                              const std::array<std::string, 2>& gpus, uint16_t device) {
  addSwitch(parent, upstream, {downstream[0], downstream[1]});
  GpuOptions chip;
  chip.device = device;
  for (size_t i = 0; i < gpus.size(); ++i) addGpu(gpus[i], downstream[i], chip);
}

void Fabric::addGpuBelowRootPort(const std::string& host_bridge, const std::string& root_port,
                                 const std::string& gpu, const GpuOptions& options) {
  if (!has(root_port)) addRootPort(root_port, host_bridge);
  addGpu(gpu, root_port, options);
}

void Fabric::addGuestGpu(const std::string& bdf, const Fabric& host, const std::string& host_gpu,
                         uint64_t guest_bar0, const std::string& parent) {
  if (host.kindOf(host_gpu) != Kind::kGpu)
    throw std::invalid_argument(host_gpu + " is not a GPU of the host fabric");
  GpuOptions options;
  options.device = static_cast<uint16_t>(readHexFile(host.filePath(host_gpu, kDeviceFile)));
  options.bar0 = guest_bar0 ? guest_bar0 : defaultBar0(bdf, kGuestBarBase);
  options.window_size = 0;
  addGpu(bdf, parent.empty() ? hostBridgeOf(bdf) : parent, options);
  for (const char* window : {kMemoryWindowFile, kRegisterWindowFile}) {
    fs::remove(filePath(bdf, window));
    fs::create_hard_link(host.filePath(host_gpu, window), filePath(bdf, window));
  }
}

void Fabric::addVirtualFunctions(const std::string& pf, const std::vector<std::string>& vfs,
                                 uint16_t device) {
  if (kindOf(pf) != Kind::kGpu) throw std::invalid_argument(pf + " is not a GPU");
  FunctionLayout layout;
  layout.vendor = kVfConfigId;
  layout.device = kVfConfigId;
  layout.class_code = readHexFile(filePath(pf, kClassFile));
  for (size_t n = 0; n < vfs.size(); ++n) {
    addNode(vfs[n], parentOf(pf), Kind::kVirtualFunction, buildConfig(layout));
    for (const char* name : {kVendorFile, kSubVendorFile})
      writeText(filePath(vfs[n], name), hex(kGpuVendor, 4));
    for (const char* name : {kDeviceFile, kSubDeviceFile})
      writeText(filePath(vfs[n], name), hex(device, 4));
    makeGpuWindows(vfs[n], GpuOptions{});
    makeRelativeLink(dir(pf), filePath(vfs[n], kPhysFnLink));
    makeRelativeLink(dir(vfs[n]), dir(pf) + "/" + kVirtFnPrefix + std::to_string(n));
  }
  writeText(filePath(pf, kNumVfsFile), std::to_string(vfs.size()) + "\n");
}

void Fabric::addNode(const std::string& bdf, const std::string& parent, Kind kind,
                     const std::vector<uint8_t>& config) {
  parseBdf(bdf);
  if (nodes_.count(bdf)) throw std::invalid_argument(bdf + " is already in the fabric");
  checkPlacement(bdf, parent, kind);
  if (isHostBridgeName(parent)) addHostBridge(parent);
  std::string base = isHostBridgeName(parent) ? parent : nodes_.at(parent).rel;
  nodes_[bdf] = Node{parent, kind, base + "/" + bdf};
  try {
    checkBusRanges();
  } catch (...) {
    nodes_.erase(bdf);
    throw;
  }
  std::string d = dir(bdf);
  writeFunctionFiles(d, config);
  makeRelativeLink(d, root_ + "/" + kBusDevicesDir + "/" + bdf);
  refreshBuses();
}

// What real sysfs shows of a port beyond its function files.
void Fabric::finishPort(const std::string& bdf, const PortOptions& options) {
  if (!options.bus_link) fs::remove(root_ + "/" + kBusDevicesDir + "/" + bdf);
  if (!options.service_dirs) return;
  const Kind kind = kindOf(bdf);
  const auto& services = kind == Kind::kRootPort         ? kRootPortServices
                         : kind == Kind::kDownstreamPort ? kDownstreamServices
                                                         : std::vector<unsigned>{};
  for (unsigned service : services) {
    char name[64];
    snprintf(name, sizeof name, kServiceDirFormat, bdf.c_str(), service);
    fs::create_directories(dir(bdf) + "/" + name);
  }
}

void Fabric::checkPlacement(const std::string& bdf, const std::string& parent, Kind kind) const {
  if (anywhere_) return;
  Bdf child = parseBdf(bdf);
  std::string problem;
  if (isHostBridgeName(parent)) {
    problem = rootBusProblem(child, parent, kind);
  } else if (!has(parent)) {
    problem = "no such parent";
  } else {
    problem = belowPortProblem(child, parent, kindOf(parent), kind);
  }
  // One bus, one bridge (or host bridge) leading to it.
  for (auto n = nodes_.begin(); problem.empty() && n != nodes_.end(); ++n) {
    Bdf other = parseBdf(n->first);
    bool same_bus = other.domain == child.domain && other.bus == child.bus;
    if (same_bus && n->second.parent != parent)
      problem = "bus already reached through " + n->second.parent;
    else if (n->second.parent == parent && !same_bus)
      problem = "siblings must share one bus";
  }
  if (!problem.empty())
    throw std::invalid_argument("cannot place " + bdf + " below " + parent + ": " + problem);
}

// Every bus inside a bridge's [secondary, subordinate] range must be reached through it.
void Fabric::checkBusRanges() const {
  for (const auto& [bridge, n] : nodes_) {
    auto range = busRange(bridge);
    if (!range) continue;
    std::string prefix = n.rel + "/";
    for (const auto& [name, other] : nodes_) {
      Bdf b = parseBdf(name);
      bool inside =
          b.domain == parseBdf(bridge).domain && b.bus >= range->first && b.bus <= range->second;
      if (inside && other.rel.rfind(prefix, 0) != 0)
        throw std::invalid_argument(name + " lies on a bus that " + bridge + " leads to");
    }
  }
}

std::optional<std::pair<unsigned, unsigned>> Fabric::busRange(const std::string& bridge) const {
  const Node& n = node(bridge);
  if (!isPort(n.kind)) return std::nullopt;
  std::string prefix = n.rel + "/";
  std::optional<unsigned> secondary;
  unsigned subordinate = 0;
  for (const auto& [name, other] : nodes_) {
    if (other.rel.rfind(prefix, 0) != 0) continue;
    unsigned bus = parseBdf(name).bus;
    subordinate = std::max(subordinate, bus);
    if (other.parent == bridge) secondary = bus;
  }
  if (!secondary) return std::nullopt;
  return std::make_pair(*secondary, subordinate);
}

void Fabric::refreshBuses() {
  for (const auto& [name, n] : nodes_) {
    if (!isPort(n.kind)) continue;
    auto range = busRange(name);
    std::string config = configPath(name);
    writeBytes(config, kPrimaryBusOffset, {static_cast<uint8_t>(parseBdf(name).bus)});
    if (!range) continue;
    writeBytes(config, kSecondaryBusOffset,
               {static_cast<uint8_t>(range->first), static_cast<uint8_t>(range->second)});
  }
}

void Fabric::makeGpuWindows(const std::string& bdf, const GpuOptions& options) {
  makeSparseFile(filePath(bdf, kMemoryWindowFile), options.window_size);
  makeSparseFile(filePath(bdf, kRegisterWindowFile), kRegisterWindowSize);
  for (const auto& [offset, value] : options.registers) setRegister(bdf, offset, value);
}

// --- loading a tree laid out earlier ---

void Fabric::load() {
  for (const auto& entry : fs::directory_iterator(root_ + "/" + kDevicesDir)) {
    std::string name = entry.path().filename().string();
    if (!entry.is_directory() || !isHostBridgeName(name)) continue;
    host_bridges_.push_back(name);
    loadDir(name, name);
  }
  std::sort(host_bridges_.begin(), host_bridges_.end());
}

void Fabric::loadDir(const std::string& rel, const std::string& parent) {
  for (const auto& entry : fs::directory_iterator(root_ + "/" + kDevicesDir + "/" + rel)) {
    std::string name = entry.path().filename().string();
    if (entry.is_symlink() || !entry.is_directory()) continue;
    try {
      parseBdf(name);
    } catch (const std::invalid_argument&) {
      continue;
    }
    nodes_[name] = Node{parent, kindFromFiles(entry.path().string()), rel + "/" + name};
    loadDir(rel + "/" + name, name);
  }
}

// --- layout queries ---

const Fabric::Node& Fabric::node(const std::string& bdf) const {
  auto found = nodes_.find(bdf);
  if (found == nodes_.end()) throw std::out_of_range("no function " + bdf + " in the fabric");
  return found->second;
}

std::vector<std::string> Fabric::functions() const {
  std::vector<std::string> names;
  for (const auto& entry : nodes_) names.push_back(entry.first);
  return names;
}

std::vector<std::string> Fabric::gpus() const {
  std::vector<std::string> names;
  for (const auto& [name, n] : nodes_)
    if (n.kind == Kind::kGpu) names.push_back(name);
  return names;
}

std::vector<std::string> Fabric::hostBridges() const { return host_bridges_; }

bool Fabric::has(const std::string& bdf) const { return nodes_.count(bdf) != 0; }

Kind Fabric::kindOf(const std::string& bdf) const { return node(bdf).kind; }

std::string Fabric::parentOf(const std::string& bdf) const { return node(bdf).parent; }

std::vector<std::string> Fabric::childrenOf(const std::string& name) const {
  std::vector<std::string> children;
  for (const auto& [bdf, n] : nodes_)
    if (n.parent == name) children.push_back(bdf);
  return children;
}

std::string Fabric::dir(const std::string& bdf) const {
  return root_ + "/" + kDevicesDir + "/" + node(bdf).rel;
}

std::string Fabric::devicePath(const std::string& bdf) const {
  return kSandboxDevices + node(bdf).rel;
}

std::string Fabric::configPath(const std::string& bdf) const { return filePath(bdf, kConfigFile); }

std::string Fabric::filePath(const std::string& bdf, const char* name) const {
  return dir(bdf) + "/" + name;
}

// --- config space ---

uint64_t Fabric::readConfig(const std::string& bdf, size_t offset, size_t width) const {
  if (width == 0 || width > 8 || offset + width > kConfigSize)
    throw std::out_of_range("config access out of range");
  std::vector<uint8_t> bytes = readBytes(configPath(bdf), offset, width);
  return getLe(bytes, 0, width);
}

void Fabric::writeConfig(const std::string& bdf, size_t offset, size_t width, uint64_t value) {
  if (width == 0 || width > 8 || offset + width > kConfigSize)
    throw std::out_of_range("config access out of range");
  writeBytes(configPath(bdf), offset, leBytes(value, width));
}

std::vector<uint8_t> Fabric::configBytes(const std::string& bdf) const {
  return readBytes(configPath(bdf), 0, kConfigSize);
}

uint16_t Fabric::command(const std::string& bdf) const {
  return static_cast<uint16_t>(readConfig(bdf, kCommandOffset, 2));
}

std::optional<uint16_t> Fabric::pmControl(const std::string& bdf) const {
  const int at = findCapability(configBytes(bdf), kCapIdPm);
  if (at < 0) return std::nullopt;
  return static_cast<uint16_t>(readConfig(bdf, static_cast<size_t>(at) + 4, 2));
}

uint64_t Fabric::bar0(const std::string& bdf) const {
  const uint64_t low = readConfig(bdf, kBar0Offset, 4);
  if ((low & kBarTypeMask) != kBarType64) return low & ~0xFULL;
  return readConfig(bdf, kBar0Offset, 8) & ~0xFULL;
}

int Fabric::acsOffset(const std::string& bdf) const {
  return findExtCapability(configBytes(bdf), kExtCapIdAcs);
}

uint16_t Fabric::acsControl(const std::string& bdf) const {
  int at = acsOffset(bdf);
  if (at < 0) throw std::out_of_range(bdf + " has no ACS capability");
  return static_cast<uint16_t>(readConfig(bdf, static_cast<size_t>(at) + kAcsControlInCap, 2));
}

void Fabric::setAcsControl(const std::string& bdf, uint16_t value) {
  int at = acsOffset(bdf);
  if (at < 0) throw std::out_of_range(bdf + " has no ACS capability");
  writeConfig(bdf, static_cast<size_t>(at) + kAcsControlInCap, 2, value);
}

void Fabric::setCapabilityList(const std::string& bdf, const std::vector<CapEntry>& caps) {
  std::vector<uint8_t> config = configBytes(bdf);
  layCapabilityList(config, caps);
  writeBytes(configPath(bdf), 0, config);
}

void Fabric::putCapabilityFirst(const std::string& bdf, uint8_t id) {
  std::vector<uint8_t> config = configBytes(bdf);
  const uint16_t pm = pmControl(bdf).value_or(kGpuPmControl);
  const int pcie = findCapability(config, kCapIdPcie);
  const uint64_t pcie_caps = pcie < 0 ? 0 : getLe(config, static_cast<size_t>(pcie) + 2, 2);
  const bool msi = id == kCapIdMsi;
  layCapabilityList(config, {{id, msi ? kMsiControl64 : kVendorCapHead, 0},
                             {kCapIdPm, kPmCapabilities, pm},
                             {kCapIdPcie, static_cast<uint16_t>(pcie_caps), 0}});
  putLe(config, static_cast<size_t>(findCapability(config, id)) + 4, 8,
        msi ? kMsiAddress : kVendorBytes);
  writeBytes(configPath(bdf), 0, config);
}

void Fabric::markVanished(const std::string& bdf, bool window_too) {
  writeBytes(configPath(bdf), 0, std::vector<uint8_t>(kConfigSize, kVanishedByte));
  if (window_too && kindOf(bdf) == Kind::kGpu)
    writeWindow(bdf, kAreaOffset, std::vector<uint8_t>(kAreaSpan, kVanishedByte));
}

// --- GPU windows ---

void Fabric::setRegister(const std::string& gpu, uint32_t offset, uint32_t value) {
  writeBytes(filePath(gpu, kRegisterWindowFile), offset, leBytes(value, 4));
}

uint32_t Fabric::reg(const std::string& gpu, uint32_t offset) const {
  return static_cast<uint32_t>(
      getLe(readBytes(filePath(gpu, kRegisterWindowFile), offset, 4), 0, 4));
}

void Fabric::writeWindow(const std::string& gpu, uint64_t offset,
                         const std::vector<uint8_t>& bytes) {
  writeBytes(filePath(gpu, kMemoryWindowFile), offset, bytes);
}

std::vector<uint8_t> Fabric::readWindow(const std::string& gpu, uint64_t offset,
                                        size_t length) const {
  return readBytes(filePath(gpu, kMemoryWindowFile), offset, length);
}

void Fabric::writeWindowWords(const std::string& gpu, uint64_t offset,
                              const std::vector<uint64_t>& words) {
  std::vector<uint8_t> bytes(words.size() * 8, 0);
  for (size_t i = 0; i < words.size(); ++i) putLe(bytes, i * 8, 8, words[i]);
  writeWindow(gpu, offset, bytes);
}

std::vector<uint64_t> Fabric::readWindowWords(const std::string& gpu, uint64_t offset,
                                              size_t count) const {
  std::vector<uint8_t> bytes = readWindow(gpu, offset, count * 8);
  std::vector<uint64_t> words(count, 0);
  for (size_t i = 0; i < count; ++i) words[i] = getLe(bytes, i * 8, 8);
  return words;
}

// --- the GPU driver ---

std::string Fabric::driverDir() const { return root_ + "/" + kDriversDir + "/" + kDriverName; }

void Fabric::ensureDriverDir() {
  std::string driver = driverDir();
  if (fs::is_directory(driver)) return;
  fs::create_directories(driver);
  for (const char* name : kDriverControlFiles) writeText(driver + "/" + name, "");
  std::string module = root_ + "/" + kModulesDir + "/" + kDriverName;
  fs::create_directories(module);
  makeRelativeLink(module, driver + "/" + kModuleLink);
}

void Fabric::bindDriver(const std::string& bdf, const std::string& minor, bool fifo_itr_debug) {
  std::string d = dir(bdf);
  ensureDriverDir();
  writeText(d + "/" + kMinorFile, minor + "\n");
  std::string itr = d + "/" + kItrDebugFile;
  itr_fifos_.erase(bdf);
  itr_received_.erase(bdf);
  itr_filler_.erase(bdf);
  fs::remove(itr);
  if (fifo_itr_debug) {
    if (mkfifo(itr.c_str(), 0644) != 0)
      throw std::system_error(errno, std::generic_category(), "mkfifo " + itr);
    itr_fifos_[bdf] = openFile(itr, O_RDWR | O_NONBLOCK);
  } else {
    writeText(itr, "");
  }
  makeRelativeLink(d, driverDir() + "/" + bdf);
  makeRelativeLink(driverDir(), d + "/" + kDriverLink);
}

void Fabric::unbindDriver(const std::string& bdf) {
  const std::string d = dir(bdf);
  itr_fifos_.erase(bdf);
  itr_received_.erase(bdf);
  itr_filler_.erase(bdf);
  for (const std::string& path : {d + "/" + kMinorFile, d + "/" + kItrDebugFile,
                                  d + "/" + kDriverLink, driverDir() + "/" + bdf})
    fs::remove(path);
}

std::vector<std::string> Fabric::itrDebugLines(const std::string& bdf) {
  auto fifo = itr_fifos_.find(bdf);
  if (fifo == itr_fifos_.end()) return splitLines(readFile(filePath(bdf, kItrDebugFile)));
  char buffer[4096];
  size_t& filler = itr_filler_[bdf];
  for (ssize_t got; (got = read(fifo->second.get(), buffer, sizeof buffer)) > 0;) {
    const size_t dropped = std::min(filler, static_cast<size_t>(got));
    filler -= dropped;
    itr_received_[bdf].append(buffer + dropped, static_cast<size_t>(got) - dropped);
  }
  return splitLines(itr_received_[bdf]);
}

void Fabric::stopReadingItrDebugAfter(const std::string& bdf, size_t bytes) {
  itrDebugLines(bdf);  // what came so far, and an empty pipe
  const int fd = itr_fifos_.at(bdf).get();
  const int capacity = fcntl(fd, F_SETPIPE_SZ, static_cast<int>(sysconf(_SC_PAGESIZE)));
  if (capacity < 0 || static_cast<size_t>(capacity) <= bytes)
    throw std::system_error(errno, std::generic_category(), "F_SETPIPE_SZ " + bdf);
  // One write: its bytes share the pipe's pages, so that exactly `bytes` fit after them.
  const std::string filler(static_cast<size_t>(capacity) - bytes, '#');
  for (size_t done = 0; done < filler.size();) {
    const ssize_t n = write(fd, filler.data() + done, filler.size() - done);
    if (n <= 0) throw std::system_error(errno, std::generic_category(), "filling " + bdf);
    done += static_cast<size_t>(n);
  }
  itr_filler_[bdf] = filler.size();
}

// --- passthrough ---

std::string Fabric::bindVfio(const std::string& bdf, unsigned group, const std::string& dev_dir) {
  const std::string d = dir(bdf);
  const std::string driver = root_ + "/" + kDriversDir + "/" + kVfioDriverName;
  const std::string group_dir = root_ + "/" + kIommuGroupsDir + "/" + std::to_string(group);
  fs::create_directories(driver);
  makeRelativeLink(d, driver + "/" + bdf);
  makeRelativeLink(driver, d + "/" + kDriverLink);
  makeRelativeLink(d, group_dir + "/devices/" + bdf);
  makeRelativeLink(group_dir, d + "/" + kIommuGroupLink);
  const std::string name = std::to_string(group);
  makeClassDevice(root_ + "/" + kVirtualVfioDir + "/" + name,
                  root_ + "/" + kVfioClassDir + "/" + name, kVfioGroupMajor, group);
  const std::string node = dev_dir + "/" + kVfioNodeDir + "/" + name;
  makeCharNode(node, kVfioGroupMajor, group);
  std::error_code ec;
  const std::string device_class = root_ + "/" + kVfioDeviceClassDir;
  const auto minor = static_cast<unsigned>(
      std::distance(fs::directory_iterator(device_class, ec), fs::directory_iterator()));
  const std::string device = kVfioDevicePrefix + std::to_string(minor);
  fs::remove_all(d + "/" + kVfioDevEntries);
  makeClassDevice(d + "/" + kVfioDevEntries + "/" + device, device_class + "/" + device,
                  kVfioDeviceMajor, minor);
  makeCharNode(dev_dir + "/" + kVfioDeviceNodeDir + "/" + device, kVfioDeviceMajor, minor);
  return node;
}

std::string Fabric::vfioDeviceNode(const std::string& bdf, const std::string& dev_dir) const {
  for (const auto& entry : fs::directory_iterator(dir(bdf) + "/" + kVfioDevEntries))
    return dev_dir + "/" + kVfioDeviceNodeDir + "/" + entry.path().filename().string();
  throw std::out_of_range(bdf + " is not bound to vfio-pci");
}

// --- odd trees ---

void Fabric::addGpuAnywhere(const std::string& bdf, const std::string& parent,
                            const GpuOptions& options) {
  anywhere_ = true;
  try {
    addGpu(bdf, parent, options);
  } catch (...) {
    anywhere_ = false;
    throw;
  }
  anywhere_ = false;
}

void Fabric::setHypervisorFlag(bool on) {
  const std::string path = root_ + "/" + kCpuInfoFile;
  fs::create_directories(fs::path(path).parent_path());
  writeText(path, std::string(kCpuInfoHead) + (on ? " hypervisor" : "") + kCpuInfoTail);
  fs::permissions(path, fs::perms(0644));  // every user reads /proc/cpuinfo
}

std::string Fabric::cpuinfoPath() const {
  const std::string path = root_ + "/" + kCpuInfoFile;
  return fs::exists(path) ? path : "";
}

void Fabric::setFileText(const std::string& bdf, const std::string& name,
                         const std::optional<std::string>& text) {
  const std::string path = filePath(bdf, name.c_str());
  if (text)
    writeText(path, *text);
  else
    fs::remove(path);
}

}  // namespace sim
