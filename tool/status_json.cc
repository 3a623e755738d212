// The JSON document of p2ptool --status (schema: p2ptool.8). Addresses are
// hexadecimal strings, since 64-bit numbers lose digits in many JSON readers.
#include <nlohmann/json.hpp>

#include "tool/status.h"

namespace {

using nlohmann::json;

const char* stateName(GpuState state) {
  switch (state) {
    case GpuState::kOnline:
      return "online";
    case GpuState::kOffline:
      return "offline";
    case GpuState::kUnknownBoard:
      return "unknown-board";
  }
  return "";
}

const char* stateName(PortState state) {
  switch (state) {
    case PortState::kAcs:
      return "acs";
    case PortState::kNoAcs:
      return "no-acs";
    case PortState::kUnreadable:
      return "unreadable";
    case PortState::kNotAFunction:
      return "not-a-function";
  }
  return "";
}

json gpuJson(const HostGpu& gpu) {
  const bool online = gpu.state == GpuState::kOnline;
  return {{"bdf", gpu.bdf},
          {"state", stateName(gpu.state)},
          {"board", online ? json(gpu.dual_chip ? "dual-chip" : "single-chip") : json()},
          {"bar0", gpu.state == GpuState::kOffline ? json() : json(hexNumber(gpu.bar0))},
          {"group", gpu.group.empty() ? json() : json(gpu.group)},
          {"below_root_port", gpu.below_root_port}};
}

json portJson(const PortStatus& port) {
  json out = {{"port", port.port}, {"state", stateName(port.state)}};
  out["acs_control"] = port.state == PortState::kAcs ? json(port.acs_control) : json();
  out["acs_decoded"] =
      port.state == PortState::kAcs ? json(decodeAcsControl(port.acs_control)) : json();
  return out;
}

json hostJson(const HostStatus& host) {
  json out = {{"gpus", json::array()}, {"ports", json::array()}, {"groups", json::array()}};
  for (const auto& gpu : host.gpus) out["gpus"].push_back(gpuJson(gpu));
  for (const auto& port : host.ports) out["ports"].push_back(portJson(port));
  for (const auto& group : host.groups)
    out["groups"].push_back({{"key", group.key},
                             {"gpus", group.gpus},
                             {"ports", group.ports},
                             {"blocking", group.blocking},
                             {"ready", group.ready()}});
  const std::string parameter = acsRedirParameter(host.redir_ports);
  out["kernel_parameter"] = parameter.empty() ? json() : json(parameter);
  out["ready"] = host.ready();
  return out;
}

json peerJson(const GuestGpu& gpu) {
  if (!gpu.peer) return json();
  json peers = json::array();
  for (size_t i = 1; i + 1 < gpu.peer->words.size(); i += 2)
    peers.push_back(
        {{"packed", gpu.peer->words[i]}, {"address", hexNumber(gpu.peer->words[i + 1])}});
  return {{"self", gpu.peer->self}, {"peers", peers}};
}

json guestJson(const GuestGpu& gpu) {
  return {{"bdf", gpu.bdf},
          {"exchange_table_words", gpu.table_words},
          {"peer_file_exists", gpu.peer_file_exists},
          {"peer_file", peerJson(gpu)},
          {"driver", gpu.driver.empty() ? json() : json(gpu.driver)},
          {"minor", gpu.minor ? json(*gpu.minor) : json()},
          {"ready", gpu.ready()}};
}

}  // namespace

std::string statusJson(const Status& status) {
  json out = {{"host", status.host ? hostJson(*status.host) : json()}, {"guest", json()}};
  if (status.guest) {
    out["guest"] = {{"gpus", json::array()}};
    for (const auto& gpu : *status.guest) out["guest"]["gpus"].push_back(guestJson(gpu));
  }
  out["ready"] = status.ready();
  return out.dump(2) + "\n";
}
