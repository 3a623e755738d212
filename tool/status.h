// p2ptool --status: what the default mode would find and change, and what a
// guest's GPUs hold, gathered strictly read-only. Configuration space is read
// straight from sysfs `config`, windows and peer files through read-only
// mappings: no configuration word or memory byte is written, no file made, no
// process started.
//
// A GPU gets the host view when a port lies above it (it does not hang
// directly on a root bus), the guest view when it hangs directly on a root bus
// (passed through) or the peer configuration directory exists (p2ptool -r
// made it); a GPU may get both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/device/peer_file.h"

enum class GpuState { kOnline, kOffline, kUnknownBoard };

struct HostGpu {
  std::string bdf;
  GpuState state = GpuState::kOnline;
  bool dual_chip = false;
  uint64_t bar0 = 0;
  std::string group;  // "" when in no group
  bool below_root_port = false;
};

enum class PortState { kAcs, kNoAcs, kUnreadable, kNotAFunction };

struct PortStatus {
  std::string port;
  PortState state = PortState::kUnreadable;
  uint16_t acs_control = 0;  // meaningful for kAcs only
};

struct GroupStatus {
  std::string key;
  std::vector<std::string> gpus;
  std::vector<std::string> ports;     // the ports the default mode changes for it
  std::vector<std::string> blocking;  // those of them that keep it from P2P
  bool ready() const { return blocking.empty(); }
};

struct HostStatus {
  std::vector<HostGpu> gpus;
  std::vector<PortStatus> ports;  // ascending
  std::vector<GroupStatus> groups;
  // Ports for pci=disable_acs_redir=: every port of `ports` that is a PCI function.
  std::vector<std::string> redir_ports;
  bool ready() const;
};

struct GuestGpu {
  std::string bdf;
  unsigned table_words = 0;  // word count of the exchange table in its window; 0: none
  bool peer_file_exists = false;
  std::optional<PeerFile> peer;  // decoded peer file, nothing when missing or malformed
  std::string driver;            // name of the bound driver, "" when unbound
  std::optional<std::string> minor;
  bool ready() const { return peer.has_value() && minor.has_value(); }
};

struct Status {
  std::optional<HostStatus> host;              // when some GPU gets the host view
  std::optional<std::vector<GuestGpu>> guest;  // when some GPU gets the guest view
  bool ready() const;
};

// ACS Control bits that redirect peer traffic up to the root complex (and the
// ones pci=disable_acs_redir= clears): ReqRedir, CmpltRedir, EgressCtrl.
inline constexpr uint16_t kAcsRedirectBits = 0x0004 | 0x0008 | 0x0020;

// The ACS Control word as lspci -vvv prints it: "SrcValid+ TransBlk- ...".
std::string decodeAcsControl(uint16_t control);

// "0x" and the value in hexadecimal, zero-padded to `digits` digits.
std::string hexNumber(uint64_t value, int digits = 0);

// The kernel parameter that keeps ACS redirection off on `ports` ("" for none).
std::string acsRedirParameter(const std::vector<std::string>& ports);

// Gathers the status of every supported GPU below /sys/bus/pci/devices.
// Messages of the readers go to standard error.
Status collectStatus();

// Text report and JSON document of a status (status_text.cc, status_json.cc).
std::string statusText(const Status& status);
std::string statusJson(const Status& status);
