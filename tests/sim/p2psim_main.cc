// p2psim: lays out simulated PCIe fabrics and runs commands in a sandbox that
// sees one of them as /sys. For the demo and for trying the tools by hand.
//
//   p2psim build <dir> host
//   p2psim build <dir> real-host
//   p2psim build <dir> guest <hostdir>
//   p2psim build <dir> q35-guest <hostdir>
//   p2psim show <dir>
//   p2psim area <dir> <gpu>
//   p2psim bind <dir> <gpu> <minor>
//   p2psim run [--sys <dir>] [--etc-upper <dir>] [--dev <dir>] [--run <dir>] [--path <dir>]...
//              [--bind <source>:<target>]... [--overlay <upper>:<target>]... -- <command...>
//   p2psim acs <dir> [--save <file>] [--since <file>]
//   p2psim gpus <dir>
//   p2psim decode <hostdir> <gpu|file>
//   p2psim received <guestdir> <hostdir> <logdir> [--summary]
#include <sys/types.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/sim/explain.h"
#include "tests/sim/fabric.h"
#include "tests/sim/presets.h"
#include "tests/sim/sandbox.h"

namespace {

namespace fs = std::filesystem;

constexpr char kHostPreset[] = "host";
constexpr char kRealHostPreset[] = "real-host";
constexpr char kGuestPreset[] = "guest";
constexpr char kQ35GuestPreset[] = "q35-guest";
constexpr char kSysSubdir[] = "sys";
constexpr size_t kMaxAreaWords = 32;
constexpr int kUsageStatus = 2;
constexpr char kCommandSeparator[] = "--";

struct Options {
  std::string dir;
  std::string preset;
  std::string host_dir;
  std::string gpu;
  std::string minor;
  sim::Sandbox box;
  std::vector<std::string> binds;     // <source>:<target>
  std::vector<std::string> overlays;  // <upper>:<target>
  std::vector<std::string> command;
  int timeout = 0;
};

int build(const Options& o) {
  bool real_preset = o.preset == kRealHostPreset && o.host_dir.empty();
  bool host_preset = (o.preset == kHostPreset || real_preset) && o.host_dir.empty();
  bool q35_preset = o.preset == kQ35GuestPreset && !o.host_dir.empty();
  bool guest_preset = (o.preset == kGuestPreset || q35_preset) && !o.host_dir.empty();
  if (!host_preset && !guest_preset) {
    std::cerr << "presets: host | real-host | guest <hostdir> | q35-guest <hostdir>\n";
    return kUsageStatus;
  }
  fs::create_directories(o.dir);
  sim::Fabric fabric(o.dir);
  if (host_preset) real_preset ? sim::buildRealHostPreset(fabric) : sim::buildHostPreset(fabric);
  if (guest_preset) {
    sim::Fabric host(o.host_dir);
    const auto pairs =
        q35_preset ? sim::buildQ35GuestPreset(fabric, host) : sim::buildGuestPreset(fabric, host);
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
  sim::Fabric fabric(o.dir);
  uint64_t first = fabric.readWindowWords(o.gpu, sim::kAreaOffset, 1)[0];
  size_t count = static_cast<size_t>(first >> 32);
  if (count == 0 || count > kMaxAreaWords) count = 1;
  auto words = fabric.readWindowWords(o.gpu, sim::kAreaOffset, count);
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

// "<first>:<second>", split at its last ':' (a target holds none).
std::pair<std::string, std::string> splitPair(const std::string& text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
    throw std::invalid_argument("expected <directory>:<target>, got \"" + text + "\"");
  return {text.substr(0, colon), text.substr(colon + 1)};
}

int run(Options o) {
  if (!o.box.sys.empty() && fs::is_directory(fs::path(o.box.sys) / kSysSubdir / "devices"))
    o.box.sys = (fs::path(o.box.sys) / kSysSubdir).string();
  for (const auto& bind : o.binds) o.box.binds.push_back(splitPair(bind));
  for (const auto& overlay : o.overlays) o.box.overlays.push_back(splitPair(overlay));
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
  std::string what;  // decode: a GPU of the host fabric or a peer file
  std::string log_dir;
  std::string save;
  std::string since;
  bool summary = false;
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
  std::ifstream since(o.since);
  std::stringstream text;
  text << since.rdbuf();
  std::cout << sim::explainAcs(fabric, sim::parseSnapshot(text.str()));
  return 0;
}

// An exchange area read from a GPU's memory window, or a peer file's words.
int decode(const ExplainOptions& o) {
  sim::Fabric host(o.host_dir);
  std::vector<uint64_t> words;
  if (host.has(o.what)) {
    uint64_t first = host.readWindowWords(o.what, sim::kAreaOffset, 1)[0];
    size_t count = std::clamp<size_t>(static_cast<size_t>(first >> 32), 1, kMaxAreaWords);
    words = host.readWindowWords(o.what, sim::kAreaOffset, count);
  } else {
    std::ifstream file(o.what, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + o.what);
    for (uint64_t word; file.read(reinterpret_cast<char*>(&word), sizeof word);)
      words.push_back(word);
  }
  std::cout << sim::explainArea(host, words);
  return 0;
}

int explain(const ExplainCommands& cmds, const ExplainOptions& o) {
  if (*cmds.acs) return acs(o);
  if (*cmds.gpus) return std::cout << sim::explainGpus(sim::Fabric(o.dir)), 0;
  if (*cmds.decode) return decode(o);
  std::cout << sim::explainReceived(sim::Fabric(o.dir), sim::Fabric(o.host_dir), o.log_dir,
                                    o.summary);
  return 0;
}

ExplainCommands addExplainCommands(CLI::App& app, ExplainOptions& o) {
  ExplainCommands cmds{};
  cmds.acs = app.add_subcommand("acs", "ACS Control of every port, changes marked, with reasons");
  cmds.acs->add_option("dir", o.dir, "Fabric directory")->required()->check(CLI::ExistingDirectory);
  auto* save = cmds.acs->add_option("--save", o.save, "Only store the values in this file");
  cmds.acs->add_option("--since", o.since, "Values stored earlier with --save")
      ->check(CLI::ExistingFile)
      ->excludes(save);
  cmds.gpus = app.add_subcommand("gpus", "Each GPU: its place, its group, its registers in words");
  cmds.gpus->add_option("dir", o.dir, "Fabric directory")
      ->required()
      ->check(CLI::ExistingDirectory);
  cmds.decode = app.add_subcommand("decode", "An exchange area or peer file, word by word");
  cmds.decode->add_option("hostdir", o.host_dir, "Host fabric (names the packed BDFs)")
      ->required()
      ->check(CLI::ExistingDirectory);
  cmds.decode->add_option("what", o.what, "GPU of the host fabric, or a peer file")->required();
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
  cmds.received->add_flag("--summary", o.summary, "One line per GPU");
  return cmds;
}

void addSandboxOptions(CLI::App* cmd, Options& o) {
  cmd->add_option("--sys", o.box.sys, "Fabric directory (or its sys/) bound over /sys")
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
  build_cmd->add_option("preset", o.preset, "host | real-host | guest | q35-guest")->required();
  build_cmd->add_option("hostdir", o.host_dir, "Host fabric of a guest")
      ->check(CLI::ExistingDirectory);

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
