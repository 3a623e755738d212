// The JSON document of p2ptool --status, schema version 1 (p2ptool.8), with
// the header every document of p2ptool has (document.h).
// Addresses, table words, packed numbers and ACS Control words are
// hexadecimal strings, since 64-bit numbers lose digits in many JSON readers;
// counts are numbers. Bytes that are not UTF-8 (a file's content, a name)
// come out as U+FFFD, so the document is always valid.
#include <nlohmann/json.hpp>

#include "common/device/exchange_area.h"
#include "common/device/pass_record.h"
#include "common/device/pci_config.h"
#include "common/device/tamberon_driver.h"
#include "common/util/convert.h"
#include "tool/document.h"
#include "tool/report/format.h"
#include "tool/report/render.h"

namespace {

using nlohmann::json;

constexpr const char* kKind = "report";
constexpr int kWordDigits = 16;
constexpr int kPackedDigits = 8;
constexpr int kAcsDigits = 4;

json textOrNull(const std::string& text) { return orNull(!text.empty(), text); }

const char* name(GpuState state) {
  switch (state) {
    case GpuState::kOnline:
      return "online";
    case GpuState::kOffline:
      return "offline";
    case GpuState::kUnreadable:
      break;
  }
  return "unreadable";
}

const char* name(Board board) {
  switch (board) {
    case Board::kSingleChip:
      return "single-chip";
    case Board::kDualChip:
      return "dual-chip";
    case Board::kUnknown:
      break;
  }
  return "unknown";
}

const char* name(TableState state) {
  switch (state) {
    case TableState::kCurrent:
      return "current";
    case TableState::kMissing:
      return "missing";
    case TableState::kStale:
      return "stale";
    case TableState::kMalformed:
      return "malformed";
    case TableState::kUnreadable:
      return "unreadable";
    case TableState::kLeftOut:
      break;
  }
  return "left-out";
}

const char* name(PortState state) {
  switch (state) {
    case PortState::kAcs:
      return "acs";
    case PortState::kNoAcs:
      return "no-acs";
    case PortState::kUnreadable:
      return "unreadable";
    case PortState::kNotAFunction:
      break;
  }
  return "not-a-function";
}

const char* name(WindowState state) {
  switch (state) {
    case WindowState::kTable:
      return "table";
    case WindowState::kNone:
      return "none";
    case WindowState::kMalformed:
      return "malformed";
    case WindowState::kUnreadable:
      break;
  }
  return "unreadable";
}

const char* name(PeerState state) {
  switch (state) {
    case PeerState::kWellFormed:
      return "well-formed";
    case PeerState::kNone:
      return "none";
    case PeerState::kMalformed:
      return "malformed";
    case PeerState::kNotAFile:
      return "not-a-file";
    case PeerState::kUnreadable:
      break;
  }
  return "unreadable";
}

const char* name(PassState state) {
  switch (state) {
    case PassState::kProgrammed:
      return "programmed";
    case PassState::kFailed:
      return "failed";
    case PassState::kNotInRecord:
      return "not-in-record";
    case PassState::kUnreadable:
      return "unreadable";
    case PassState::kBroken:
      return "broken";
    case PassState::kNoRecord:
      break;
  }
  return "no-record";
}

json tableJson(const Status& status, const TableStatus& table) {
  const bool read = !table.words.empty();
  const bool unreadable = table.state == TableState::kUnreadable;
  return {
      {"state", name(table.state)},
      {"reason", unreadable ? json(unknownReason(status, table.reason)) : textOrNull(table.reason)},
      {"word_count", orNull(read, read ? areaWordCount(table.words[0]) : 0)},
      {"words", orNull(read, hexWords(table.words))},
      {"expected", orNull(!table.expected.empty(), hexWords(table.expected))}};
}

json gpuJson(const Status& status, const HostGpu& gpu) {
  const bool online = gpu.state == GpuState::kOnline;
  const bool unknown =
      gpu.state == GpuState::kUnreadable || (online && gpu.board == Board::kUnknown);
  return {{"bdf", gpu.bdf},
          {"state", name(gpu.state)},
          {"board", orNull(online, name(gpu.board))},
          {"reason", orNull(unknown, unknownReason(status, gpu.reason))},
          {"bar0", orNull(online, hexNumber(gpu.bar0, kWordDigits))},
          {"group", textOrNull(gpu.group)},
          {"below_root_port", gpu.below_root_port},
          {"on_root_bus", gpu.on_root_bus},
          {"table", gpu.table ? tableJson(status, *gpu.table) : json()},
          {"tenants", gpu.tenants ? tenantsJson(*gpu.tenants) : json()},
          {"tenants_reason", orNull(!gpu.tenants, unknownReason(status, gpu.tenants_reason))},
          {"virtual_functions", gpu.virtual_functions}};
}

json portJson(const Status& status, const PortStatus& port) {
  const bool acs = port.state == PortState::kAcs;
  const bool unreadable = port.state == PortState::kUnreadable;
  return {{"port", port.port},
          {"state", name(port.state)},
          {"reason", orNull(unreadable, unknownReason(status, port.reason))},
          {"acs_control", orNull(acs, hexNumber(port.acs_control, kAcsDigits))},
          {"acs_decoded", orNull(acs, decodeAcsControl(port.acs_control))},
          {"redirects", port.redirects()}};
}

const char* name(Connection connection) {
  switch (connection) {
    case Connection::kBoard:
      return "board";
    case Connection::kSwitch:
      return "switch";
    case Connection::kSwitches:
      return "switches";
    case Connection::kRootComplex:
      break;
  }
  return "root-complex";
}

const char* name(PairReason reason) {
  switch (reason) {
    case PairReason::kNotInOneGroup:
      return "not-in-one-group";
    case PairReason::kRedirected:
      return "redirected";
    case PairReason::kNoCurrentTable:
      return "no-current-table";
    case PairReason::kDifferentGuests:
      return "different-guests";
    case PairReason::kUnknown:
      break;
  }
  return "unknown";
}

const char* pairState(Verdict verdict) {
  switch (verdict) {
    case Verdict::kReady:
      return "ok";
    case Verdict::kNotReady:
      return "not ok";
    case Verdict::kUnknown:
      break;
  }
  return "unknown";
}

json pairJson(const Status& status, const PairStatus& pair) {
  json ports = json::array();
  for (const MeetingPort& port : pair.ports) {
    json out = portJson(status, port.status);
    out["by_design"] = port.by_design;
    out["command"] = textOrNull(port.command);
    ports.push_back(out);
  }
  json reasons = json::array();
  for (const PairReason reason : pair.reasons()) reasons.push_back(name(reason));
  return {{"a", pair.a},
          {"b", pair.b},
          {"connection", name(pair.connection)},
          {"group", textOrNull(pair.group)},
          {"state", pairState(pair.verdict())},
          {"reasons", reasons},
          {"ports", ports},
          {"tables_not_current", pair.tables_not_current}};
}

json groupJson(const GroupStatus& group) {
  return {{"key", group.key},
          {"gpus", group.gpus},
          {"ports", group.ports},
          {"blocking", group.blocking},
          {"unreadable_ports", group.unreadable_ports},
          {"tables_not_current", group.tables_not_current},
          {"tables_unknown", group.tables_unknown},
          {"tables_in_use", group.tables_in_use},
          {"tenants_unknown", group.tenants_unknown},
          {"tenants_differ", group.tenantsDiffer()},
          {"meeting_blocking", group.meeting_blocking},
          {"meeting_unknown", group.meeting_unknown},
          {"state", verdictName(group.verdict())}};
}

json hostJson(const Status& status, const HostStatus& host) {
  json out = {{"state", verdictName(host.verdict())},
              {"gpus", json::array()},
              {"ports", json::array()},
              {"groups", json::array()}};
  for (const auto& gpu : host.gpus) out["gpus"].push_back(gpuJson(status, gpu));
  for (const auto& port : host.ports) out["ports"].push_back(portJson(status, port));
  for (const auto& group : host.groups) out["groups"].push_back(groupJson(group));
  out["pairs"] = json::array();
  for (const auto& pair : host.pairs) out["pairs"].push_back(pairJson(status, pair));
  const bool known = host.redir_unknown.empty();
  out["kernel_parameter"] = orNull(known, textOrNull(acsRedirParameter(host.redir_ports)));
  out["kernel_parameter_unknown"] = orNull(!known, unknownReason(status, host.redir_unknown));
  return out;
}

json peerJson(const Status& status, const GuestGpu& gpu) {
  const bool unreadable = gpu.peer_state == PeerState::kUnreadable;
  json out = {{"state", name(gpu.peer_state)},
              {"reason", orNull(unreadable, unknownReason(status, gpu.peer_reason))},
              {"self", json()},
              {"self_host_bdf", json()},
              {"peers", json()},
              {"matches_exchange_table", optionalJson(gpu.peer_matches)}};
  if (!gpu.peer) return out;
  out["self"] = hexNumber(gpu.peer->self, kPackedDigits);
  out["self_host_bdf"] = optionalJson(addressOfPacked(gpu.peer->self));
  out["peers"] = json::array();
  for (size_t i = 1; i + 1 < gpu.peer->words.size(); i += 2)
    out["peers"].push_back({{"packed", hexNumber(gpu.peer->words[i], kPackedDigits)},
                            {"host_bdf", optionalJson(addressOfPacked(gpu.peer->words[i]))},
                            {"address", hexNumber(gpu.peer->words[i + 1], kWordDigits)}});
  return out;
}

json minorJson(const GuestGpu& gpu) {
  if (!gpu.minor) return json();
  return isMinorNumber(*gpu.minor) ? json(std::stoull(*gpu.minor)) : json(*gpu.minor);
}

json passJson(const Status& status, const GuestGpu& gpu) {
  const PassStatus& pass = gpu.pass;
  const bool recorded = pass.state == PassState::kProgrammed || pass.state == PassState::kFailed ||
                        pass.state == PassState::kNotInRecord;
  const bool unreadable = pass.state == PassState::kUnreadable;
  const bool has_reason = pass.state == PassState::kFailed || pass.state == PassState::kBroken;
  return {{"state", name(pass.state)},
          {"time", orNull(recorded, passTimeText(pass.time))},
          {"peers", orNull(pass.state == PassState::kProgrammed, pass.lines)},
          {"reason",
           unreadable ? json(unknownReason(status, pass.reason)) : orNull(has_reason, pass.reason)},
          {"peer_file_newer", optionalJson(gpu.peer_newer)}};
}

json guestGpuJson(const Status& status, const GuestGpu& gpu) {
  const bool unreadable = gpu.window == WindowState::kUnreadable;
  const json window = {{"state", name(gpu.window)},
                       {"reason", orNull(unreadable, unknownReason(status, gpu.window_reason))},
                       {"word_count", orNull(!unreadable, gpu.table_words)}};
  return {
      {"bdf", gpu.bdf},
      {"exchange_table", window},
      {"peer_file", peerJson(status, gpu)},
      {"driver", textOrNull(gpu.driver)},
      {"minor", minorJson(gpu)},
      {"minor_reason", orNull(!gpu.minor_reason.empty(), unknownReason(status, gpu.minor_reason))},
      {"p2pwatch", passJson(status, gpu)},
      {"conflicts", gpu.conflicts},
      {"state", verdictName(gpu.verdict())}};
}

}  // namespace

std::string statusJson(const Status& status) {
  json out = documentHeader(kKind, status.time.tv_sec);
  out.update({{"state", verdictName(status.verdict())},
              {"role", roleName(status.role.role)},
              {"role_evidence", roleEvidence(status.role)},
              {"as_root", status.as_root},
              {"error", textOrNull(status.error)},
              {"host", status.host ? hostJson(status, *status.host) : json()},
              {"guest", json()}});
  if (status.guest) {
    json gpus = json::array();
    for (const auto& gpu : *status.guest) gpus.push_back(guestGpuJson(status, gpu));
    out["guest"] = {{"state", verdictName(guestVerdict(*status.guest))}, {"gpus", gpus}};
  }
  return documentText(out);
}
