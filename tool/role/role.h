// Host or guest: which side of a passthrough this machine is, decided from
// evidence a stray file cannot fake. The GPUs first: a GPU whose window's
// exchange table names another PCI address than its own was passed through
// (a guest's); a GPU on a root bus is a guest's; a GPU below switches whose
// table names itself, or that holds none, is a host's. Only where no GPU
// tells, or GPUs tell both (a host GPU's table left from an earlier PCI
// layout names another address), does the CPU's hypervisor flag decide (some
// guests hide it). --host and --guest override the evidence.
//
// Plain decisions and their words: the facts are read by evidence.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

enum class Role { kHost, kGuest };

// "host", "guest".
const char* roleName(Role role);

// Where a GPU sits, as far as the role goes.
enum class Seat {
  kRootBus,        // directly on a root bus: no port above it
  kBelowRootPort,  // directly below a root port: host or guest (q35) alike
  kBelowSwitch,    // below a switch's downstream port
};

// What the exchange table in a GPU's window names.
enum class Naming {
  kNoTable,  // word count 0: no table was ever written
  kItself,   // a table whose self field is the GPU's own packed address
  kOther,    // a table whose self field is another address
  kUnknown,  // the window cannot be read, or holds no well-formed table
};

// One GPU's evidence.
struct GpuSign {
  std::string bdf;
  Seat seat = Seat::kBelowSwitch;
  Naming naming = Naming::kUnknown;
  uint32_t named = 0;  // kOther: the packed number its table names
};

// The CPU's hypervisor flag (/proc/cpuinfo); nothing with the reason when it
// cannot be read.
struct CpuSign {
  std::optional<bool> hypervisor;
  std::string reason;
};

// What the role rests on.
enum class Basis {
  kGiven,             // --host or --guest
  kTableNamesOther,   // a GPU's table names another address, no GPU is a host's: guest
  kRootBus,           // a GPU on a root bus, no GPU is a host's: guest
  kBelowSwitches,     // GPUs below switches with their own table or none, none a guest's: host
  kHypervisorFlag,    // the GPUs do not decide; the CPU has the flag: guest
  kNoHypervisorFlag,  // the GPUs do not decide; the CPU lacks it: host
  kNothing,           // neither the GPUs nor the flag decide: taken for a host
};

struct RoleDecision {
  Role role = Role::kHost;
  Basis basis = Basis::kNothing;
  std::string gpu;        // kTableNamesOther: the first GPU whose table does
  uint32_t named = 0;     // kTableNamesOther: the packed number its table names
  std::string reason;     // kNothing: why the flag cannot be read
  bool disagree = false;  // the CPU decides: GPUs tell both roles (else none tells)
  // Whether the role rests on evidence; a report that rests on nothing is
  // unknown at best.
  bool known() const { return basis != Basis::kNothing; }
};

// The role the GPUs' evidence gives when they agree (the first GPU whose
// table names another address is named), else the CPU's.
RoleDecision decideRole(const std::vector<GpuSign>& gpus, const CpuSign& cpu);

// The role given on the command line.
RoleDecision givenRole(Role role);

// The evidence in words, for the report's first line and -r's warning:
// "--host given", "GPUs below switches whose tables name themselves or hold
// none", "the exchange table of guest 0000:00:05.0 names host 0000:1c:00.0"...
std::string roleEvidence(const RoleDecision& decision);

// The address as the side `role` sees it: "host 0000:3d:00.0".
std::string sideAddress(Role role, const std::string& bdf);

// The PCI address a packed BDF number stands for, decoded as a device below 8
// (a GPU behind a switch port is device 0; pci_address.h); nothing when bits
// 3 or 4 are set, which no packing sets.
std::optional<std::string> addressOfPacked(uint64_t packed);

// A packed BDF number with the host address it stands for, as guests show it:
// "0x00003d00 (host 0000:3d:00.0)", or "0x00003d08 (no PCI address)".
std::string packedWithHost(uint64_t packed);
