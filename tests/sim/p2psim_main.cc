// p2psim: lays out simulated PCIe fabrics and runs commands in a sandbox that
// sees one of them as /sys. For the demo and for trying the tools by hand.
//
//   p2psim build <dir> host
//   p2psim build <dir> real-host
//   p2psim build <dir> quad-host
//   p2psim build <dir> guest <hostdir> [--gpus <host BDF>,...]
//   p2psim build <dir> q35-guest <hostdir>
//   p2psim build <dir> --from <snapshot.tar.gz>     (written by p2ptool --collect)
//   p2psim show <dir>
//   p2psim area <dir> <gpu>
//   p2psim bind <dir> <gpu> <minor>
//   p2psim run [--sys <dir>] [--etc-upper <dir>] [--dev <dir>] [--run <dir>] [--path <dir>]...
//              [--bind <source>:<target>]... [--overlay <upper>:<target>]...
//              [--acs-keeps <port>=<hex bits>]... -- <command...>
//   p2psim acs <dir> [--save <file>] [--since <file> [--changed]] [--blocking]
//   p2psim gpus <dir>
//   p2psim decode <hostdir> <gpu|file>...
//   p2psim received <guestdir> <hostdir> <logdir> [--in-full <n>]
#include <sys/types.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/sim/explain.h"
#include "tests/sim/fabric.h"
#include "tests/sim/fake_command.h"
#include "tests/sim/presets.h"
#include "tests/sim/received.h"
#include "tests/sim/sandbox.h"
#include "tests/sim/snapshot.h"

namespace {

namespace fs = std::filesystem;

constexpr char kHostPreset[] = "host";
constexpr char kRealHostPreset[] = "real-host";
constexpr char kQuadHostPreset[] = "quad-host";
constexpr char kGuestPreset[] = "guest";
constexpr char kQ35GuestPreset[] = "q35-guest";
constexpr char kSysSubdir[] = "sys";
constexpr char kEtcSubdir[] = "etc";             // a replayed snapshot's peer files
constexpr char kRunSubdir[] = "run";             // ... and p2pwatch's record
constexpr char kCpuInfoFile[] = "proc/cpuinfo";  // a fabric's CPU (Fabric::setHypervisorFlag)
constexpr int kUsageStatus = 2;
constexpr int kNotRightStatus = 1;  // decode, received: the words state a fault
constexpr char kCommandSeparator[] = "--";
constexpr char kPairShape[] = "<directory>:<target>";
constexpr char kHexDigits[] = "0123456789abcdefABCDEF";
constexpr size_t kHex16Digits = 4;

struct Options {
  std::string dir;
  std::string preset;
  std::string host_dir;
  std::string gpu;
  std::string minor;
  std::vector<std::string> guest_gpus;  // host GPUs a guest preset is given (none: all)
  std::string from;                     // a snapshot to replay instead of a preset
  sim::Sandbox box;
  std::vector<std::string> binds;      // <source>:<target>
  std::vector<std::string> overlays;   // <upper>:<target>
  std::vector<std::string> acs_keeps;  // <port>=<ACS Control bits a write leaves set>
  std::vector<std::string> command;
  int timeout = 0;
};

void buildHost(const std::string& preset, sim::Fabric& fabric) {
  if (preset == kRealHostPreset)
    sim::buildRealHostPreset(fabric);
  else if (preset == kQuadHostPreset)
    sim::buildQuadHostPreset(fabric);
  else
    sim::buildHostPreset(fabric);
}

// A snapshot of p2ptool --collect laid out as a fabric, with its /etc and
// /run beside it; the fabric's table when it loads as one.
int replay(const Options& o) {
  if (!o.preset.empty() || !o.host_dir.empty() || !o.guest_gpus.empty()) {
    std::cerr << "build --from takes no preset\n";
    return kUsageStatus;
  }
  const size_t members = sim::replaySnapshot(o.from, o.dir);
  std::cout << "replayed " << members << " members of " << o.from << " into " << o.dir << "\n";
  try {
    std::cout << sim::fabricTable(sim::Fabric(o.dir));
  } catch (const std::exception&) {  // a snapshot of a user other than root: 64-byte configs
    std::cout << "(no fabric table: not every configuration space is whole)\n";
  }
  return 0;
}

int build(const Options& o) {
  if (!o.from.empty()) return replay(o);
  const bool host_preset =
      (o.preset == kHostPreset || o.preset == kRealHostPreset || o.preset == kQuadHostPreset) &&
      o.host_dir.empty() && o.guest_gpus.empty();
  const bool q35_preset = o.preset == kQ35GuestPreset && !o.host_dir.empty();
  const bool guest_preset = (o.preset == kGuestPreset || q35_preset) && !o.host_dir.empty() &&
                            (o.guest_gpus.empty() || !q35_preset);
  if (!host_preset && !guest_preset) {
    std::cerr << "presets: host | real-host | quad-host | guest <hostdir> [--gpus <host BDF>,...]"
                 " | q35-guest <hostdir>\n";
    return kUsageStatus;
  }
  fs::create_directories(o.dir);
  sim::Fabric fabric(o.dir);
  if (host_preset) buildHost(o.preset, fabric);
  if (guest_preset) {
    sim::Fabric host(o.host_dir);
    const std::set<std::string> only(o.guest_gpus.begin(), o.guest_gpus.end());
    const auto pairs = q35_preset ? sim::buildQ35GuestPreset(fabric, host)
                                  : sim::buildGuestPreset(fabric, host, only);
    for (const auto& [guest, from] : pairs)
      std::cout << "guest " << guest << " is host " << from << "\n";
  }
  std::cout << sim::fabricTable(fabric);
  return 0;
}

int show(const Options& o) {
  std::cout << sim::fabricTable(sim::Fabric(o.dir));
  return 0;
}

// The exchange area of a GPU's memory window: word 0, then as many words as
// its high half counts (at most 32).
int area(const Options& o) {
  const auto words = sim::readArea(sim::Fabric(o.dir), o.gpu);
  for (size_t i = 0; i < words.size(); ++i)
    printf("%s +0x%03zx  %016llx\n", o.gpu.c_str(), i * 8,
           static_cast<unsigned long long>(words[i]));
  return 0;
}

int bind(const Options& o) {
  sim::Fabric fabric(o.dir);
  fabric.bindDriver(o.gpu, o.minor, false);
  std::cout << o.gpu << " bound to " << sim::kDriverName << " as minor " << o.minor << "\n";
  return 0;
}

// "<first><separator><second>", split at the last separator (a second part holds none).
std::pair<std::string, std::string> splitPair(const std::string& text, char separator,
                                              const char* shape) {
  const size_t at = text.rfind(separator);
  if (at == std::string::npos || at == 0 || at + 1 == text.size())
    throw std::invalid_argument(std::string("expected ") + shape + ", got \"" + text + "\"");
  return {text.substr(0, at), text.substr(at + 1)};
}

// A setpci before the real one that sets the given ACS Control bits of a port
// again after every write to it; nothing when no port is given.
std::optional<sim::FakeCommand> stickySetpci(const std::vector<std::string>& keeps) {
  if (keeps.empty()) return std::nullopt;
  std::optional<sim::FakeCommand> setpci(sim::loggingSetpci());
  for (const auto& keep : keeps) {
    const auto [port, bits] = splitPair(keep, '=', "<port>=<hex bits>");
    if (bits.size() > kHex16Digits || bits.find_first_not_of(kHexDigits) != std::string::npos)
      throw std::invalid_argument("\"" + bits + "\" is no 16-bit hex number");
    sim::keepAcsBits(*setpci, port, static_cast<uint16_t>(std::stoul(bits, nullptr, 16)));
  }
  return setpci;
}

// A fabric directory given for --sys: its sys/ is bound over /sys, its
// proc/cpuinfo (when it has one) over /proc/cpuinfo, and a replayed snapshot's
// etc/ and run/ serve as /etc's upper directory and /run unless others are
// given.
void useFabricDir(Options& o) {
  const fs::path dir = o.box.sys;
  if (o.box.sys.empty() || !fs::is_directory(dir / kSysSubdir / "devices")) return;
  o.box.sys = (dir / kSysSubdir).string();
  if (fs::is_regular_file(dir / kCpuInfoFile)) o.box.cpuinfo = (dir / kCpuInfoFile).string();
  if (o.box.etc_upper.empty() && fs::is_directory(dir / kEtcSubdir))
    o.box.etc_upper = (dir / kEtcSubdir).string();
  if (o.box.run.empty() && fs::is_directory(dir / kRunSubdir))
    o.box.run = (dir / kRunSubdir).string();
}

int run(Options o) {
  useFabricDir(o);
  for (const auto& bind : o.binds) o.box.binds.push_back(splitPair(bind, ':', kPairShape));
  for (const auto& overlay : o.overlays)
    o.box.overlays.push_back(splitPair(overlay, ':', kPairShape));
  const auto setpci = stickySetpci(o.acs_keeps);
  if (setpci) o.box.path_prepend.insert(o.box.path_prepend.begin(), setpci->dir());
  if (std::string reason = sim::sandboxUnavailableReason(); !reason.empty()) {
    std::cerr << "p2psim: " << reason << "\n";
    return sim::kSetupFailedStatus;
  }
  return sim::runAttached(o.box, o.command, o.timeout);
}

// --- accounts of a fabric in words (the demo) ---

struct ExplainOptions {
  std::string dir;
  std::string host_dir;
  std::vector<std::string> what;  // decode: GPUs of the host fabric or peer files
  std::string log_dir;
  std::string save;
  std::string since;
  bool changed = false;
  bool blocking = false;
  size_t in_full = 1;
};

struct ExplainCommands {
  CLI::App* acs;
  CLI::App* gpus;
  CLI::App* decode;
  CLI::App* received;
};

int acs(const ExplainOptions& o) {
  sim::Fabric fabric(o.dir);
  if (!o.save.empty()) {
    std::ofstream(o.save) << sim::formatSnapshot(sim::acsSnapshot(fabric));
    return 0;
  }
  if (o.blocking) {
    for (const auto& [port, bits] : sim::blockingPorts(fabric))
      std::cout << port << " " << bits << "\n";
    return 0;
  }
  std::ifstream since(o.since);
  std::stringstream text;
  text << since.rdbuf();
  const sim::AcsSnapshot before = sim::parseSnapshot(text.str());
  if (!o.changed) return std::cout << sim::explainAcs(fabric, before), 0;
  for (const auto& port : sim::changedPorts(fabric, before)) std::cout << port << "\n";
  return 0;
}

// Exchange areas read from GPUs' memory windows, or peer files' words.
int decode(const ExplainOptions& o) {
  sim::Fabric host(o.host_dir);
  std::vector<sim::NamedArea> areas;
  for (const auto& what : o.what) {
    if (host.has(what)) {
      areas.push_back({what, sim::readArea(host, what), false});
      continue;
    }
    std::ifstream file(what, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + what);
    sim::NamedArea area{fs::path(what).filename().string(), {}, true};
    for (uint64_t word; file.read(reinterpret_cast<char*>(&word), sizeof word);)
      area.words.push_back(word);
    areas.push_back(area);
  }
  const sim::AreasReport report = sim::explainAreas(host, areas);
  std::cout << report.text;
  return report.right ? 0 : kNotRightStatus;
}

int explain(const ExplainCommands& cmds, const ExplainOptions& o) {
  if (*cmds.acs) return acs(o);
  if (*cmds.gpus) return std::cout << sim::explainGpus(sim::Fabric(o.dir)), 0;
  if (*cmds.decode) return decode(o);
  const sim::ReceivedReport report =
      sim::explainReceived(sim::Fabric(o.dir), sim::Fabric(o.host_dir), o.log_dir, o.in_full);
  std::cout << report.text;
  return report.right ? 0 : kNotRightStatus;
}

ExplainCommands addExplainCommands(CLI::App& app, ExplainOptions& o) {
  ExplainCommands cmds{};
  cmds.acs = app.add_subcommand("acs", "ACS Control of every port, changes marked, with reasons");
  cmds.acs->add_option("dir", o.dir, "Fabric directory")->required()->check(CLI::ExistingDirectory);
  auto* save = cmds.acs->add_option("--save", o.save, "Only store the values in this file");
  auto* since = cmds.acs->add_option("--since", o.since, "Values stored earlier with --save")
                    ->check(CLI::ExistingFile)
                    ->excludes(save);
  cmds.acs->add_flag("--changed", o.changed, "Only the ports that changed since, one a line")
      ->needs(since);
  cmds.acs
      ->add_flag("--blocking", o.blocking,
                 "Only the ports p2ptool picks that still redirect, with the bits")
      ->excludes(save)
      ->excludes(since);
  cmds.gpus = app.add_subcommand("gpus", "Each GPU: its place, its group, its registers in words");
  cmds.gpus->add_option("dir", o.dir, "Fabric directory")
      ->required()
      ->check(CLI::ExistingDirectory);
  cmds.decode = app.add_subcommand(
      "decode", "The first exchange area or peer file word by word, the others in a line each");
  cmds.decode->add_option("hostdir", o.host_dir, "Host fabric (names the packed BDFs)")
      ->required()
      ->check(CLI::ExistingDirectory);
  cmds.decode->add_option("what", o.what, "GPUs of the host fabric, or peer files")->required();
  cmds.decode->footer("Exit status 1 when an area is not what p2ptool -w writes");
  cmds.received = app.add_subcommand("received", "What each guest GPU's driver received");
  cmds.received->add_option("dir", o.dir, "Guest fabric")
      ->required()
      ->check(CLI::ExistingDirectory);
  cmds.received->add_option("hostdir", o.host_dir, "Host fabric")
      ->required()
      ->check(CLI::ExistingDirectory);
  cmds.received->add_option("logdir", o.log_dir, "Directory of the itr-<BDF>.log files")
      ->required()
      ->check(CLI::ExistingDirectory);
  cmds.received->add_option("--in-full", o.in_full, "Show every line of the first N GPUs");
  cmds.received->footer("Exit status 1 when a driver did not receive exactly its group");
  return cmds;
}

void addSandboxOptions(CLI::App* cmd, Options& o) {
  cmd->add_option("--sys", o.box.sys,
                  "Fabric directory (or its sys/) bound over /sys, its proc/cpuinfo over "
                  "/proc/cpuinfo; a replayed snapshot's etc/ and run/ serve as --etc-upper and "
                  "--run")
      ->check(CLI::ExistingDirectory);
  cmd->add_option("--etc-upper", o.box.etc_upper, "Upper directory of an /etc overlay")
      ->check(CLI::ExistingDirectory);
  cmd->add_option("--dev", o.box.dev, "Directory bound over /dev")->check(CLI::ExistingDirectory);
  cmd->add_option("--run", o.box.run, "Directory bound over /run")->check(CLI::ExistingDirectory);
  cmd->add_option("--path", o.box.path_prepend, "Directory put first on PATH (repeatable)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  cmd->add_option("--bind", o.binds, "<source>:<target>, a further bind mount (repeatable)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  cmd->add_option("--overlay", o.overlays,
                  "<upper>:<target>, an overlay over an existing directory (repeatable)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  cmd->add_option("--acs-keeps", o.acs_keeps,
                  "<port>=<hex bits>: setpci writes leave these ACS Control bits of the port set "
                  "(repeatable)")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  cmd->add_option("--uid", o.box.uid, "Run as this user");
  cmd->add_option("--gid", o.box.gid, "Run as this group");
  cmd->add_option("--timeout", o.timeout, "Kill the command after this many seconds");
  // Without "--", everything from the first word that is not an option is the command.
  cmd->prefix_command();
  cmd->footer("Give the command after --, e.g. p2psim run --sys fabric -- lspci -tv");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Simulated PCIe fabrics and a sandbox that shows one as /sys"};
  app.require_subcommand(1);
  Options o;

  auto* build_cmd = app.add_subcommand("build", "Lay out a preset fabric in a directory");
  build_cmd->add_option("dir", o.dir, "Directory to build in")->required();
  build_cmd->add_option("preset", o.preset, "host | real-host | quad-host | guest | q35-guest");
  build_cmd->add_option("hostdir", o.host_dir, "Host fabric of a guest")
      ->check(CLI::ExistingDirectory);
  build_cmd->add_option("--gpus", o.guest_gpus, "guest: only these host GPUs (comma-separated)")
      ->delimiter(',');
  build_cmd
      ->add_option("--from", o.from,
                   "Replay this archive of p2ptool --collect instead of a preset: dir must be "
                   "empty; it gets sys/, etc/, run/ and meta/")
      ->check(CLI::ExistingFile);

  auto* show_cmd = app.add_subcommand("show", "Print a fabric with its live register values");
  show_cmd->add_option("dir", o.dir, "Fabric directory")->required()->check(CLI::ExistingDirectory);

  auto* area_cmd = app.add_subcommand("area", "Print the exchange area of a GPU's memory window");
  area_cmd->add_option("dir", o.dir, "Fabric directory")->required()->check(CLI::ExistingDirectory);
  area_cmd->add_option("gpu", o.gpu, "BDF of the GPU")->required();

  auto* bind_cmd = app.add_subcommand("bind", "Bind a GPU to the simulated driver");
  bind_cmd->add_option("dir", o.dir, "Fabric directory")->required()->check(CLI::ExistingDirectory);
  bind_cmd->add_option("gpu", o.gpu, "BDF of the GPU")->required();
  bind_cmd->add_option("minor", o.minor, "Driver minor number")->required();

  auto* run_cmd = app.add_subcommand("run", "Run a command in a sandbox over a fabric");
  addSandboxOptions(run_cmd, o);
  ExplainOptions explained;
  const ExplainCommands explain_cmds = addExplainCommands(app, explained);

  // The words after the first "--" are the command of `run`, never options.
  int own_argc = 0;
  while (own_argc < argc && std::string(argv[own_argc]) != kCommandSeparator) ++own_argc;
  std::vector<std::string> after_separator(argv + std::min(own_argc + 1, argc), argv + argc);
  CLI11_PARSE(app, own_argc, argv);
  try {
    if (*build_cmd) return build(o);
    if (*show_cmd) return show(o);
    if (*area_cmd) return area(o);
    if (*bind_cmd) return bind(o);
    if (!*run_cmd) return explain(explain_cmds, explained);
    o.command = own_argc < argc ? after_separator : run_cmd->remaining();
    if (o.command.empty()) {
      std::cerr << "p2psim run: no command given\n";
      return kUsageStatus;
    }
    return run(o);
  } catch (const std::exception& e) {
    std::cerr << "p2psim: " << e.what() << "\n";
    return 1;
  }
}
