// The plan of a run: for every item a run mode would touch (a GPU's
// configuration words, a switch port's ACS Control, a GPU's exchange table, a
// peer file) what it is now and what the run makes of it, or why the run
// leaves it alone, found strictly read-only by the planners. A real run applies
// its plan (tool/plan/apply.h); p2ptool -n renders it (tool/plan/render.h).
// Plain data: no reader, no renderer.
#pragma once

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/device/vfio.h"
#include "common/log/console.h"
#include "tool/containers.h"
#include "tool/exchange.h"
#include "tool/role/role.h"

enum class Outcome {
  kChange,     // the run changes the item
  kUnchanged,  // the item already is what the run makes of it
  kLeftAlone,  // the run leaves the item as it is, for `reason`
  kUnknown,    // what the run does cannot be told, for `reason`
};

// What every step carries besides its item's own facts.
struct StepState {
  Outcome outcome = Outcome::kUnknown;
  std::string reason;   // kLeftAlone, kUnknown: why; "run as root" for another user
  bool undone = false;  // the run leaves work undone here (its exit status 1)
};

// A 16-bit configuration word of a GPU and the value the run leaves there.
struct WordStep {
  size_t offset = 0;
  uint16_t before = 0;
  uint16_t after = 0;
  bool changes() const { return before != after; }
};

// Why discovery leaves a GPU alone.
enum class GpuAlone {
  kNone,
  kSkipped,     // the enumeration skipped it after its own message
  kUnopened,    // its configuration file cannot be opened
  kUnanswered,  // its configuration space reads all ones or cannot be read
  kHeld,        // a running guest holds it, or may hold it unseen (no --force)
};

struct GpuStep {
  std::string bdf;
  std::string device;  // its sysfs device path; "" when the enumeration skipped it
  GpuAlone alone = GpuAlone::kNone;
  int error = 0;                    // kUnopened: errno of the open
  std::optional<Holders> holders;   // bound to vfio-pci and held, or its holders unseen
  bool forced = false;              // such a GPU written all the same (--force)
  std::optional<WordStep> command;  // the Command register; nothing when it cannot be read
  std::optional<WordStep> power;    // Power Management control; nothing without the capability
  StepState state;
};

// Why the ACS step leaves a port alone.
enum class PortAlone { kNone, kNotAnAddress, kNoAcs };

struct PortStep {
  std::string port;
  PortAlone alone = PortAlone::kNone;
  std::optional<uint16_t> before;  // ACS Control now; nothing when it cannot be read
  uint16_t after = 0;              // meaningful with `before`
  std::string command;             // the setpci command line that runs; "" when none
  StepState state;
};

// What a GPU's window holds against the table -w writes.
enum class TableNow { kCurrent, kStale, kMissing, kMalformed, kUnknown };

struct TableStep {
  std::string gpu;
  std::string device;                 // its sysfs device path
  TableNow now = TableNow::kUnknown;  // meaningful with a table
  std::string now_reason;             // kUnknown: why the window cannot be read
  std::vector<unsigned long> table;   // what -w writes; empty when left out
  BarMap members;                     // the table's members with their BAR0
  StepState state;
};

// One group as -w handles it.
struct GroupStep {
  std::string key;
  BarMap members;  // every GPU of the group with its BAR0
  bool too_large = false;
  std::vector<LeftOut> left_out;  // planTable's, in the order met
  bool collision = false;
  std::vector<TableStep> tables;  // one per member, in BDF order
};

struct WritePlan {
  std::map<std::string, std::string> ungrouped;  // ungrouped_gpu_map: GPU -> where it sits
  std::vector<GroupStep> groups;
};

// A peer file against the table in its GPU's window.
enum class PeerNow { kNew, kDiffers, kUnchanged, kNotAFile, kUnknown };

struct PeerStep {
  std::string gpu;
  std::string window;                 // path of its memory window
  int open_error = 0;                 // errno when the window did not open
  AreaRead area;                      // what the window holds, when it opened
  std::vector<HeldMessage> messages;  // what the window's reader said
  std::string path;                   // the peer file
  PeerNow file = PeerNow::kUnknown;   // meaningful with a table
  StepState state;
};

// Whether the peer configuration directory is there, is made by the run, or
// cannot be made.
enum class DirNow { kThere, kMade, kCannot };

struct ReadPlan {
  RoleDecision role;  // the machine's: -r where it looks like a host warns and goes on
  // Whose addresses the GPUs' are: the host's where it looks like a host, else
  // the guest's, as -r is for guests.
  Role side() const {
    return role.role == Role::kHost && role.known() ? Role::kHost : Role::kGuest;
  }
  DirNow dir = DirNow::kThere;
  std::string dir_reason;              // kCannot: why
  std::vector<std::string> leftovers;  // temporary files of an interrupted run, removed
  std::vector<PeerStep> files;
};

// The run modes.
enum class RunMode { kAcs, kWrite, kRead };

struct Plan {
  RunMode mode = RunMode::kAcs;
  bool as_root = false;
  time_t time = 0;  // when it was made
  std::vector<GpuStep> gpus;
  // The analysis: the groups, the GPUs in none (GPU -> where it sits), and the
  // GPUs it left out or could not place (GPU -> why, undone or unknown).
  GroupMap groups;
  std::map<std::string, std::string> ungrouped;
  std::map<std::string, StepState> unplaced;
  std::vector<PortStep> ports;     // kAcs
  std::optional<WritePlan> write;  // kWrite
  std::optional<ReadPlan> read;    // kRead
};

// Whether the plan leaves work undone, and whether it leaves facts unknown.
bool leavesUndone(const Plan& plan);
bool leavesUnknown(const Plan& plan);

// Exit statuses of p2ptool -n.
inline constexpr int kPlanDone = 0;     // the run would do all of its work (or finds no GPU)
inline constexpr int kPlanUndone = 1;   // the run would leave part of its work undone
inline constexpr int kPlanUnknown = 3;  // nothing undone, but facts only root reads are unknown

// kPlanUndone when the plan leaves work undone, else kPlanUnknown when it
// leaves facts unknown, else kPlanDone.
int planExitStatus(const Plan& plan);

// The changes the run makes, counted as its change lines (-v) count them:
// each configuration word, port, table, peer file, leftover removed, and the
// peer configuration directory made.
size_t changeCount(const Plan& plan);

// Names of the states: "change", "unchanged", "left alone", "unknown"; a
// table's now ("current", "stale", "missing", "malformed", "unknown"); a peer
// file's ("new", "differs", "unchanged", "not a file", "unknown").
const char* outcomeName(Outcome outcome);
const char* tableNowName(TableNow now);
const char* peerNowName(PeerNow now);
