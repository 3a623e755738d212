// The metrics of p2ptool --status in the Prometheus text format (version
// 0.0.4), for node_exporter's textfile collector (p2ptool.8, METRICS). Every
// family is a gauge with its HELP and TYPE; a family without a series (the
// guest's on a host) is left out. A state is one series per value, 1 for the
// one that holds and 0 for the others, so that each is always there to
// compare with.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/device/pass_record.h"
#include "tool/report/format.h"
#include "tool/report/render.h"

namespace {

using Labels = std::vector<std::pair<const char*, std::string>>;

struct Sample {
  Labels labels;
  std::string value;
};

template <typename Enum>
using Names = std::vector<std::pair<Enum, const char*>>;

const Names<Verdict> kStates = {
    {Verdict::kReady, "ready"}, {Verdict::kNotReady, "not_ready"}, {Verdict::kUnknown, "unknown"}};
const Names<Role> kRoles = {{Role::kHost, "host"}, {Role::kGuest, "guest"}};
const Names<TableState> kTableStates = {
    {TableState::kCurrent, "current"},    {TableState::kMissing, "missing"},
    {TableState::kStale, "stale"},        {TableState::kMalformed, "malformed"},
    {TableState::kUnreadable, "unknown"}, {TableState::kLeftOut, "left_out"}};

std::string flag(bool value) { return value ? "1" : "0"; }

// One series per name, 1 for the one `chosen` names (none when nothing).
template <typename Enum>
std::vector<Sample> oneHot(const char* label, const Names<Enum>& names, std::optional<Enum> chosen,
                           const Labels& others = {}) {
  std::vector<Sample> samples;
  for (const auto& [value, name] : names) {
    Labels labels = others;
    labels.emplace_back(label, name);
    samples.push_back({labels, flag(value == chosen)});
  }
  return samples;
}

std::string labelText(const Labels& labels) {
  std::string text;
  for (const auto& [name, value] : labels)
    text += std::string(text.empty() ? "{" : ",") + name + "=\"" + labelValue(value) + "\"";
  return text.empty() ? text : text + "}";
}

class Exposition {
 public:
  void add(const char* name, const char* help, const std::vector<Sample>& samples) {
    if (samples.empty()) return;
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " gauge\n";
    for (const Sample& sample : samples)
      text_ += name + labelText(sample.labels) + " " + sample.value + "\n";
  }
  void add(const char* name, const char* help, const std::string& value) {
    add(name, help, std::vector<Sample>{{{}, value}});
  }
  std::string take() { return std::move(text_); }

 private:
  std::string text_;
};

// The report's role; nothing when it rests on no evidence.
std::optional<Role> roleOf(const Status& status) {
  if (!status.role.known()) return std::nullopt;
  return status.role.role;
}

size_t gpuCount(const Status& status) {
  if (status.host) return status.host->gpus.size();
  return status.guest ? status.guest->size() : 0;
}

void addOverall(const Status& status, Exposition& out) {
  const Sample version = {{{"version", P2P_VERSION}}, "1"};
  out.add("p2ptool_info", "The version of p2ptool that wrote these metrics.", {version});
  out.add("p2ptool_check_timestamp_seconds", "Unix time of the check these metrics give.",
          passTimeText(status.time));
  out.add("p2ptool_state",
          "The verdict of p2ptool -s: 1 for ready, not_ready or unknown, 0 for the others.",
          oneHot("state", kStates, std::optional(status.verdict())));
  out.add("p2ptool_role", "What the machine is to p2ptool: 1 for host or guest, 0 for the other.",
          oneHot("role", kRoles, roleOf(status)));
  const HostStatus none;
  const HostStatus& host = status.host ? *status.host : none;
  out.add("p2ptool_gpus", "GPUs p2ptool sees, SR-IOV virtual functions not counted.",
          std::to_string(gpuCount(status)));
  out.add("p2ptool_groups", "Groups of GPUs below one PCI Express switch.",
          std::to_string(host.groups.size()));
  out.add("p2ptool_ports", "Switch ports judged for ACS redirection.",
          std::to_string(host.ports.size()));
}

void addHost(const HostStatus& host, Exposition& out) {
  std::vector<Sample> groups, tables, in_use, redirect, unknown;
  for (const GroupStatus& group : host.groups)
    groups.push_back({{{"group", group.key}}, flag(group.verdict() == Verdict::kReady)});
  for (const HostGpu& gpu : host.gpus) {
    if (gpu.table) {
      const auto states =
          oneHot("state", kTableStates, std::optional(gpu.table->state), {{"gpu", gpu.bdf}});
      tables.insert(tables.end(), states.begin(), states.end());
    }
    in_use.push_back({{{"gpu", gpu.bdf}}, flag(!gpu.tenants || gpu.inUse())});
  }
  for (const PortStatus& port : host.ports) {
    redirect.push_back({{{"port", port.port}}, flag(port.redirects())});
    unknown.push_back({{{"port", port.port}}, flag(port.state == PortState::kUnreadable)});
  }
  out.add("p2ptool_group_ready",
          "Whether the GPUs of the group can reach each other peer to peer (1) or not or unknown "
          "(0).",
          groups);
  out.add("p2ptool_gpu_table_state",
          "The state of a grouped host GPU's exchange table against the one p2ptool -w would "
          "write now: 1 for its state, 0 for the others.",
          tables);
  out.add("p2ptool_gpu_in_use",
          "Whether a running guest holds the host GPU or its holders cannot be seen (1), or not "
          "(0).",
          in_use);
  out.add("p2ptool_port_redirect",
          "Whether a redirect bit (ReqRedir, CmpltRedir, EgressCtrl) of the port's ACS Control "
          "reads set (1) or not (0).",
          redirect);
  out.add("p2ptool_port_unknown", "Whether the port's ACS Control cannot be read (1) or can (0).",
          unknown);
}

void addGuest(const std::vector<GuestGpu>& gpus, Exposition& out) {
  std::vector<Sample> programmed, times;
  for (const GuestGpu& gpu : gpus) {
    const bool pass_programmed = gpu.pass.state == PassState::kProgrammed;
    programmed.push_back({{{"gpu", gpu.bdf}}, flag(pass_programmed && gpu.peer_newer == false)});
    if (pass_programmed) times.push_back({{{"gpu", gpu.bdf}}, passTimeText(gpu.pass.time)});
  }
  out.add("p2ptool_gpu_programmed",
          "Whether p2pwatch's last pass programmed the guest GPU and its peer file is the one "
          "that pass read (1) or not (0).",
          programmed);
  out.add("p2ptool_gpu_programmed_timestamp_seconds",
          "Unix time of p2pwatch's last pass, which programmed the guest GPU.", times);
}

}  // namespace

std::string statusMetrics(const Status& status) {
  Exposition out;
  addOverall(status, out);
  if (status.host) addHost(status.host.value(), out);
  if (status.guest) addGuest(status.guest.value(), out);
  return out.take();
}
