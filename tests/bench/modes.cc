#include "tests/bench/modes.h"

namespace bench {
namespace {

constexpr char kWriteFlag[] = "-w";
constexpr char kReadFlag[] = "-r";
constexpr char kStatusFlag[] = "--status";

}  // namespace

std::string modeLabel(Mode mode) {
  switch (mode) {
    case Mode::kDefault:
      return "p2ptool (host)";
    case Mode::kStatus:
      return "p2ptool -s (host)";
    case Mode::kWrite:
      return "p2ptool -w (host)";
    case Mode::kRead:
      return "p2ptool -r (guest)";
    case Mode::kWatch:
      return "p2pwatch pass (guest)";
  }
  return "";
}

std::vector<std::string> toolArguments(Mode mode) {
  if (mode == Mode::kWrite) return {kWriteFlag};
  if (mode == Mode::kRead) return {kReadFlag};
  if (mode == Mode::kStatus) return {kStatusFlag};
  return {};
}

Needed designNeeds(Mode mode, const HostLayout& layout) {
  Needed needed;
  if (mode == Mode::kStatus) return needed;
  if (mode == Mode::kWatch) {
    needed.sh = driverCommands(layout);
    return needed;
  }
  const size_t probes = layout.gpus;
  const size_t id_reads = layout.gpus;
  // One ACS command per port; reading the port's ACS Control back afterwards
  // is a read of its config file, no process. Neither does the in-use check
  // (sysfs links, a stat of the VFIO group node and of /proc's descriptors)
  // start one, nor the check for a port without ACS.
  const size_t acs = mode == Mode::kDefault ? layout.acs_ports.size() : 0;
  needed.sh = probes + id_reads + acs;
  needed.setpci = probes + acs;
  needed.cat = id_reads;
  return needed;
}

}  // namespace bench
