// The data model of p2ptool --status: what the collectors (collect.h) gather
// and the renderers (render.h) show, with the verdict rules. It reads nothing
// and formats nothing but the names of verdicts and problems.
//
// Every verdict is ready, not ready, or unknown: a fact it needs could not be
// read (a user other than root sees 64 bytes of configuration space and no
// memory or register window) and nothing that could be read says "not ready".
// Nothing is guessed: a fact that could not be read carries the reason.
#pragma once

#include <time.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/device/peer_file.h"
#include "common/device/vfio.h"
#include "tool/role/role.h"

enum class Verdict { kReady, kNotReady, kUnknown };

// The weightier of two verdicts: not ready, then unknown, then ready.
Verdict worse(Verdict a, Verdict b);
// "ready", "not ready", "unknown".
const char* verdictName(Verdict verdict);

enum class GpuState { kOnline, kOffline, kUnreadable };
enum class Board { kSingleChip, kDualChip, kUnknown };

// A grouped GPU's exchange table against the one `p2ptool -w` would write now.
enum class TableState {
  kCurrent,     // the window holds exactly that table
  kMissing,     // word count 0: never written
  kStale,       // a table of another BAR0 or other members
  kMalformed,   // a word count -w never writes
  kUnreadable,  // the window cannot be opened or mapped
  kLeftOut,     // -w writes no table for this GPU
};

struct TableStatus {
  TableState state = TableState::kUnreadable;
  std::string reason;              // kUnreadable, kLeftOut: why
  std::vector<uint64_t> words;     // what the window holds: word 0, and all words of a
                                   // table of a well-formed count; empty when not read
  std::vector<uint64_t> expected;  // what -w would write now; empty when left out
  bool current() const { return state == TableState::kCurrent; }
  Verdict verdict() const;
};

struct HostGpu {
  std::string bdf;
  GpuState state = GpuState::kOnline;
  Board board = Board::kUnknown;
  std::string reason;  // why the state (kUnreadable) or the board (kUnknown) is not known
  uint64_t bar0 = 0;   // decoded as -w decodes it; meaningful when not kOffline/kUnreadable
  std::string group;   // "" when in no group
  bool below_root_port = false;
  bool on_root_bus = false;          // in no group: no port above it (a host view given by --host)
  std::optional<TableStatus> table;  // for the GPUs of a group
  // The processes of running guests that hold it (vfio.h); nothing when that
  // cannot be seen: it is bound to vfio-pci, no process is seen to hold it
  // and some may be out of sight (Holders::unknown()), for `tenants_reason`.
  std::optional<std::vector<Tenant>> tenants = std::vector<Tenant>{};
  std::string tenants_reason;
  // Its SR-IOV virtual functions: part of it, no GPUs of their own.
  std::vector<std::string> virtual_functions;
  bool inUse() const { return tenants && !tenants->empty(); }
  // Whether its group, or that it has none, is known: an offline GPU has none.
  bool placeKnown() const;
  Verdict verdict() const;
};

enum class PortState { kAcs, kNoAcs, kUnreadable, kNotAFunction };

struct PortStatus {
  std::string port;
  PortState state = PortState::kUnreadable;
  uint16_t acs_control = 0;  // meaningful for kAcs only
  std::string reason;        // kUnreadable: why
  bool redirects() const;
};

struct GroupStatus {
  std::string key;
  std::vector<std::string> gpus;
  std::vector<std::string> ports;               // the ports the default mode changes for it
  std::vector<std::string> blocking;            // those with ACS redirection on
  std::vector<std::string> unreadable_ports;    // those whose ACS Control cannot be read
  std::vector<std::string> tables_not_current;  // members whose table -w would change
  std::vector<std::string> tables_unknown;      // members whose window cannot be read
  // Those of tables_not_current a running guest holds: -w leaves them alone.
  std::vector<std::string> tables_in_use;
  // Member -> the processes holding it, for the members in use.
  std::map<std::string, std::vector<Tenant>> tenants;
  // Members whose holders cannot be seen: whether a guest holds them is unknown.
  std::vector<std::string> tenants_unknown;
  // Ports where members meet, none of `ports`, that redirect; that cannot be read.
  std::vector<std::string> meeting_blocking;
  std::vector<std::string> meeting_unknown;
  // True when members are held by different processes: different guests
  // reach each other's memory without the IOMMU.
  bool tenantsDiffer() const;
  Verdict verdict() const;
};

// How two GPUs reach each other, by where their paths meet (topology.h).
enum class Connection {
  kBoard,        // the two chips of one dual-chip board, across its own switch
  kSwitch,       // one switch, each GPU directly below one of its downstream ports
  kSwitches,     // a switch with further switches between it and a GPU
  kRootComplex,  // only through the root complex
};

enum class Grouping { kOneGroup, kApart, kUnknown };

// A port where the paths of a pair meet.
struct MeetingPort {
  PortStatus status;
  bool by_design = false;  // the default mode leaves it: none of the ports it changes
  std::string command;     // the command that clears its redirect bits (acs.h)
};

// What keeps a pair from peer-to-peer, weightiest first.
enum class PairReason {
  kNotInOneGroup,    // no exchange table names both
  kRedirected,       // a port where they meet redirects their requests upstream
  kNoCurrentTable,   // a member's table is not the one -w would write now
  kDifferentGuests,  // held by different processes
  kUnknown,          // their group, a meeting port, a table or a holder is unknown
};

// One pair of host GPUs, `a` before `b`.
struct PairStatus {
  std::string a, b;
  Connection connection = Connection::kRootComplex;
  Grouping grouping = Grouping::kUnknown;
  std::string group;                            // kOneGroup: the key of their group
  std::vector<MeetingPort> ports;               // where they meet, a's side first
  std::vector<std::string> tables_not_current;  // of the two
  bool tables_unknown = false;
  bool tenants_differ = false;
  bool tenants_unknown = false;
  // Only a pair in one group is judged past that: its ports, tables, holders.
  std::vector<PairReason> reasons() const;        // empty when peer-to-peer works
  std::vector<std::string> redirecting() const;   // its meeting ports that redirect
  std::vector<std::string> unknownPorts() const;  // its meeting ports not read
  bool ok() const { return reasons().empty(); }
  // Not ready for any reason but kUnknown; unknown for that alone.
  Verdict verdict() const;
};

struct HostStatus {
  std::vector<HostGpu> gpus;
  std::vector<PortStatus> ports;  // ascending
  std::vector<GroupStatus> groups;
  std::vector<PairStatus> pairs;  // every pair of `gpus`, in their order
  // Ports for pci=disable_acs_redir=: those of `ports` that have ACS or whose
  // ACS Control cannot be read, and the meeting ports of the pairs of a group
  // that redirect or cannot be read; ascending.
  std::vector<std::string> redir_ports;
  // Why that list may lack a port (a GPU's place unknown, the ACS capabilities
  // unreadable to the caller); "" when it is complete.
  std::string redir_unknown;
  Verdict verdict() const;
};

enum class PeerState { kNone, kWellFormed, kMalformed, kNotAFile, kUnreadable };
enum class WindowState { kTable, kNone, kMalformed, kUnreadable };

// What p2pwatch's record (pass_record.h) says of a guest GPU.
enum class PassState {
  kProgrammed,   // its last pass programmed the GPU
  kFailed,       // its last pass did not, for `reason`
  kNotInRecord,  // its last pass did not find the GPU bound to tamberon
  kNoRecord,     // no record: p2pwatch never ran a pass
  kUnreadable,   // the record cannot be opened or read, for `reason`
  kBroken,       // the record is there but unusable, for `reason` (pass_record.h)
};

struct PassStatus {
  PassState state = PassState::kNoRecord;
  timespec time{};     // the start of the last pass; for the first three states
  unsigned lines = 0;  // kProgrammed: driver lines sent, one per member it was told of
  std::string reason;  // kFailed: as p2pwatch gave it; kUnreadable: the errno text;
                       // kBroken: what is wrong with the record
  // `time` is after the clock when the record was read: the clock went back,
  // or the record is not what it seems.
  bool future = false;
};

// One reason a guest GPU is not ready, or unknown.
struct GuestProblem {
  Verdict verdict;
  std::string text;
};

// A guest GPU is ready when the table in its window, its peer file, its minor
// under tamberon and p2pwatch's last pass all agree: the window holds a
// table, the peer file is well-formed and equals it, the minor is decimal, and
// that pass programmed the GPU after the peer file was last changed, and no
// other GPU of the guest claims its minor or its host GPU.
struct GuestGpu {
  std::string bdf;
  WindowState window = WindowState::kUnreadable;  // the exchange table in its memory window
  unsigned table_words = 0;                       // its word count; 0 when not read
  std::string window_reason;                      // kUnreadable: why
  PeerState peer_state = PeerState::kNone;
  std::optional<PeerFile> peer;      // decoded peer file when kWellFormed
  std::string peer_reason;           // kUnreadable: why
  timespec peer_modified{};          // its modification time, when kWellFormed or kMalformed
  std::string driver;                // name of the bound driver, "" when unbound
  std::optional<std::string> minor;  // first word of the tamberon minor file
  std::string minor_reason;          // why that file cannot be read; "" when read or absent
  // Whether the peer file equals the window's table; nothing when they cannot
  // be compared (no well-formed peer file, or the window holds no table).
  std::optional<bool> peer_matches;
  PassStatus pass;
  // Whether the peer file changed after p2pwatch's last pass; nothing when
  // there is no record or no peer file could be opened.
  std::optional<bool> peer_newer;
  // What it shares with other GPUs of the guest (guest_claims.h): each the
  // reason p2pwatch gives; empty when nothing.
  std::vector<std::string> conflicts;
  // What keeps it from being ready, each with its verdict; empty when ready.
  std::vector<GuestProblem> problems() const;
  Verdict verdict() const;
};

// The verdict of the guest view: that of its weightiest GPU.
Verdict guestVerdict(const std::vector<GuestGpu>& gpus);

// The view of the role: the host's when the machine is a host, the guest's
// when it is a guest. A role that rests on no evidence makes the verdict
// unknown at best.
struct Status {
  bool as_root = false;
  timespec time{};    // of the check: when the collector began
  std::string error;  // why no GPU could be looked for; "" when fine
  RoleDecision role;
  std::optional<HostStatus> host;              // a host's GPUs
  std::optional<std::vector<GuestGpu>> guest;  // a guest's GPUs
  Verdict verdict() const;
};
