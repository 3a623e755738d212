// The text report of p2ptool --status.
#include <string>

#include "tool/status.h"

namespace {

constexpr const char* kGroupReady = "P2P ready";

std::string join(const std::vector<std::string>& words, const char* separator) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : separator) + word;
  return text;
}

std::string gpuLine(const HostGpu& gpu) {
  if (gpu.state == GpuState::kOffline) return gpu.bdf + "  offline: does not answer";
  if (gpu.state == GpuState::kUnknownBoard)
    return gpu.bdf + "  board unknown: device ID unreadable, left out";
  std::string line = gpu.bdf + (gpu.dual_chip ? "  dual-chip board" : "  single chip    ");
  line += "  BAR0 " + hexNumber(gpu.bar0, 16) + "  ";
  if (gpu.below_root_port) return line + "no group: below a root port";
  return line + "group " + gpu.group;
}

std::string portLine(const PortStatus& port) {
  switch (port.state) {
    case PortState::kAcs:
      return port.port + "  ACSCtl: " + decodeAcsControl(port.acs_control);
    case PortState::kNoAcs:
      return port.port + "  no ACS capability";
    case PortState::kUnreadable:
      return port.port + "  ACS Control unreadable (run as root)";
    case PortState::kNotAFunction:
      return port.port + "  not a PCI function";
  }
  return port.port;
}

std::string groupLine(const GroupStatus& group) {
  const std::string verdict =
      group.ready() ? kGroupReady : "blocked by " + join(group.blocking, ", ");
  return group.key + "  GPUs " + join(group.gpus, " ") + ": " + verdict;
}

std::string hostText(const HostStatus& host) {
  std::string text = "Host GPUs:\n";
  for (const auto& gpu : host.gpus) text += "  " + gpuLine(gpu) + "\n";
  text += "Ports the default mode changes:\n";
  for (const auto& port : host.ports) text += "  " + portLine(port) + "\n";
  text += "Groups:\n";
  for (const auto& group : host.groups) text += "  " + groupLine(group) + "\n";
  return text;
}

std::string peerText(const GuestGpu& gpu) {
  if (!gpu.peer_file_exists) return "    peer file: none\n";
  if (!gpu.peer) return "    peer file: malformed\n";
  std::string text = "    peer file: self " + hexNumber(gpu.peer->self, 8) + "\n";
  for (size_t i = 1; i + 1 < gpu.peer->words.size(); i += 2)
    text += "      peer " + hexNumber(gpu.peer->words[i], 8) + "  address " +
            hexNumber(gpu.peer->words[i + 1], 16) + "\n";
  return text;
}

std::string guestVerdict(const GuestGpu& gpu) {
  std::vector<std::string> missing;
  if (!gpu.peer) missing.push_back(gpu.peer_file_exists ? "peer file malformed" : "no peer file");
  if (!gpu.minor) missing.push_back("no minor");
  return missing.empty() ? "ready" : "not ready: " + join(missing, ", ");
}

std::string guestText(const std::vector<GuestGpu>& gpus) {
  std::string text = "Guest GPUs:\n";
  for (const auto& gpu : gpus) {
    text += "  " + gpu.bdf + "\n    exchange table: ";
    text += gpu.table_words ? std::to_string(gpu.table_words) + " words\n" : "none\n";
    text += peerText(gpu);
    text += "    driver: " + (gpu.driver.empty() ? "none" : gpu.driver);
    text += gpu.minor ? ", minor " + *gpu.minor + "\n" : "\n";
    text += "    " + guestVerdict(gpu) + "\n";
  }
  return text;
}

}  // namespace

std::string statusText(const Status& status) {
  std::string text;
  if (status.host) text += hostText(*status.host);
  if (status.guest) text += guestText(*status.guest);
  if (!status.host && !status.guest) text += "No GPU found.\n";
  text += std::string("Status: ") + (status.ready() ? "ready" : "not ready") + "\n";
  if (status.host) {
    const std::string parameter = acsRedirParameter(status.host->redir_ports);
    text += "Kernel parameter: " + (parameter.empty() ? "none needed" : parameter) + "\n";
  }
  return text;
}
