// p2ptool's side of the exchange area (its layout: common/device/exchange_area.h):
// the host writes it into each grouped GPU's memory window, the guest stores
// it as the GPU's peer configuration file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/device/exchange_area.h"
#include "tool/containers.h"

inline constexpr size_t kMaxGroupSize = (kMaxAreaWords - 1) / 2;
// High half of word 0 of a window that does not answer.
inline constexpr unsigned kOfflineCount = 0xFFFFFFFF;

inline constexpr const char* kWindowFile = "/resource0";

// The area to write into `self`'s window for its group; every BDF string must
// be a PCI address (std::bad_optional_access otherwise).
std::vector<unsigned long> buildExchangeArea(const std::string& self, const BarMap& group);

// Whether one exchange area holds a table for every GPU of the group.
inline bool fitsOneArea(const BarMap& group) { return group.size() <= kMaxGroupSize; }

// Why a GPU of a group appears in no table.
enum class LeftOutReason { kUnassignedBar0, kTooWide, kSamePacked };

struct LeftOut {
  std::string bdf;
  LeftOutReason reason;
  std::string other;    // kSamePacked: the member met first that packs alike
  uint32_t packed = 0;  // kSamePacked: the number both pack to
};

// What tableMembers decides, without a message: the GPUs fit for a table and,
// in the order met, those left out. With two members that pack alike the
// group gets no table at all.
struct TablePlan {
  BarMap members;
  std::vector<LeftOut> left_out;
  bool collision = false;
  bool too_large = false;  // planGroupTable: more GPUs than one area holds, none planned
  // Why the member `bdf` gets no table: its own entry of left_out, else the
  // first collision; nothing when it gets one, or the group is too large.
  const LeftOut* whyNoTable(const std::string& bdf) const;
};
TablePlan planTable(const BarMap& group);

// planTable for a group that fits one exchange area; too_large alone for one
// that does not.
TablePlan planGroupTable(const BarMap& group);

// The members of group `key` that may appear in a table: planTable, then
// reportLeftOuts. A GPU whose BAR0 is unassigned (0) or all ones, or whose
// address does not pack into 32 bits, is left out. Nothing when two members
// pack to the same number: the guest could not tell them apart.
std::optional<BarMap> tableMembers(const std::string& key, const BarMap& group);

// The message about each GPU planTable left out of group `key` (`left_out`,
// in its order; two members that pack alike are both named), and work left
// undone (tool/undone.h) when there is any.
void reportLeftOuts(const std::string& key, const BarMap& group,
                    const std::vector<LeftOut>& left_out);

// The line that follows a failure message: the GPU and the errno text.
void reportGpuFailure(const std::string& bdf, int error);

// The device path whose last component is `bdf` (first in set order).
std::optional<std::filesystem::path> findDevicePath(const std::set<std::filesystem::path>& devices,
                                                    const std::string& bdf);

// Opens the GPU's memory window read/write; prints the error and returns -1.
int openWindow(const std::filesystem::path& device);

// The message after a memory window that cannot be opened: the window, then
// the GPU and the errno text.
void reportWindowUnopened(const std::string& window, const std::string& bdf, int error);

// What a GPU's memory window holds at the exchange area's place.
enum class AreaState {
  kTable,     // an area of 1 to kMaxAreaWords words
  kUnread,    // a transfer failed (after the mapping's own message)
  kNone,      // word count 0: the host never wrote the window
  kOffline,   // count all ones: the card does not answer
  kAbnormal,  // a count above kMaxAreaWords
};

struct AreaRead {
  AreaState state = AreaState::kUnread;
  int error = 0;                     // kUnread: errno
  unsigned count = 0;                // the word count word 0 gives, when read
  std::vector<unsigned long> words;  // kTable: the area
};

// Reads the exchange area from the memory window open as `fd` (read-only is
// enough) through a read-only mapping, word 0 first. The descriptor stays open.
AreaRead readArea(int fd);

// What the read mode says of an area that is no table, naming the GPU `name`;
// nothing for a table.
void reportAreaRead(const AreaRead& area, const std::string& name);

// The table `area` holds, or nothing after reportAreaRead's message.
std::optional<std::vector<unsigned long>> areaTable(AreaRead area, const std::string& name);

// readArea, then areaTable.
std::optional<std::vector<unsigned long>> readExchangeArea(int fd, const std::string& name);

// Mode of a stored peer configuration file.
inline constexpr mode_t kPeerFileMode = 0644;

// A name of a temporary file a store makes in the peer configuration
// directory (".peer-" and six letters or digits): no ':' in it, so that
// p2pwatch never takes one for a peer configuration file.
bool isTempName(const std::string& name);

// Makes the peer configuration directory when missing: whether it was made,
// or nothing after a message when it cannot be.
std::optional<bool> makePeerConfigDir();

// Replaces the peer configuration file `name` as a whole with `words`: a
// reader sees the old file or the new one, never part of one, and so does the
// next boot after a power loss. False with errno on failure; the old file
// stays, unless only the directory could not be flushed.
bool storePeerFile(const std::string& name, const std::vector<unsigned long>& words);
