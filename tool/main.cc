// p2ptool: finds the GPUs, groups them by the switch above them, then either
// switches ACS off on the switch ports (default), writes every GPU's exchange
// area into its memory window (-w, host) or stores the areas as peer
// configuration files (-r, guest). Each mode is its plan, then applied
// (tool/plan/); -n shows the plan and -s reports all of that, both without
// changing anything.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>

#include "common/log/console.h"
#include "common/util/replace_file.h"
#include "common/util/standard_streams.h"
#include "tool/collect/collect.h"
#include "tool/containers.h"
#include "tool/modes.h"
#include "tool/plan/apply.h"
#include "tool/plan/plan.h"
#include "tool/plan/render.h"
#include "tool/report/collect.h"
#include "tool/report/render.h"
#include "tool/role/evidence.h"
#include "tool/text_lines.h"
#include "tool/topology.h"
#include "tool/undone.h"

namespace {

constexpr const char* kDescription = "Tamberon Zorva Related Pcie Tool.";
constexpr int kStatusNotReady = 1;
constexpr int kStatusUsage = 2;
constexpr int kStatusUnknown = 3;
constexpr int kStatusCannotWrite = 4;  // the metrics could not be written
constexpr mode_t kMetricsMode = 0644;  // node_exporter reads them as its own user
constexpr const char* kStdout = "-";
constexpr int kLeftUndone = 1;  // a mode ran to its end, but not all of its work was done
constexpr const char* kRunWithHelp = "Run with --help for more information.";
constexpr const char* kStatusFlags[] = {
    "-s", "--status", "--json", "--collect", "--with-hostname", "--matrix", "--metrics"};
constexpr const char* kWhatModesChange =
    "Without -w, -r, -n or -s, p2ptool switches ACS redirection off on the switch ports above "
    "the GPUs. Every mode but -n and -s first enables each GPU's memory decoding and bus "
    "mastering and sets its power state to D0. -w writes GPU memory (each grouped GPU's exchange "
    "table, where it differs), -r stores peer files in /etc/qz/vm_p2p_cfg/ (where they differ). "
    "-n shows the plan and -s checks: both change nothing.";

struct Options {
  bool write = false;
  bool read = false;
  bool status = false;
  bool json = false;
  bool matrix = false;
  bool force = false;
  std::string collect;  // --collect FILE
  std::string metrics;  // --metrics FILE
  bool hostname = false;
  bool dry_run = false;
  bool verbose = false;
  bool host = false;   // --host: the machine is a host, whatever the evidence
  bool guest = false;  // --guest
};

void setupOptions(CLI::App& app, Options& options) {
  app.set_version_flag("--version", std::string("p2ptool ") + P2P_VERSION,
                       "Print the version and exit");
  app.footer(kWhatModesChange);
  app.add_flag("-w, --write", options.write, "Write data to base reg0.");
  app.add_flag("-r, --read", options.read, "Read HBM data and write data to vm_p2p_cfg.");
  app.add_flag("-n, --dry-run", options.dry_run,
               "Change nothing: show the plan of the run the other options ask for, what it "
               "would change and leave alone; any user; exit 0 when the run would do all its "
               "work, 1 when not, 3 when facts only root can read are unknown.");
  app.add_flag("-v, --verbose", options.verbose,
               "Say each change the run makes, each table already current and each peer file "
               "unchanged, or that nothing changed.");
  app.add_flag("-s, --status", options.status,
               "Report GPUs, ports, groups, tables and peer files, change nothing; exit 0 when "
               "ready, 1 when not, 3 when unknown.");
  app.add_flag("--json", options.json,
               "With --status or --dry-run: the report or the plan as one JSON document.");
  app.add_flag("--matrix", options.matrix,
               "With --status: one P2P matrix of all host GPUs, however many (past 16 the "
               "report shows one per group).");
  app.add_flag("--force", options.force,
               "Write also to GPUs a running guest holds (their VFIO group open): their "
               "configuration words and, with -w, their exchange areas.");
  app.add_option("--collect", options.collect,
                 "Write what p2ptool reads into FILE (- for standard output), a .tar.gz for a "
                 "bug report, change nothing; exit 0 when written, 1 when not.")
      ->type_name("FILE")
      ->check([](const std::string& file) { return file.empty() ? "FILE is empty" : ""; });
  app.add_flag("--with-hostname", options.hostname, "With --collect: add the host name.");
  app.add_flag("--host", options.host,
               "With -s or -r: take this machine for a host whatever the evidence (-s shows the "
               "host view, -r warns).");
  app.add_flag("--guest", options.guest,
               "With -s or -r: take this machine for a guest whatever the evidence (-s shows the "
               "guest view, -r does not warn).");
  app.add_option("--metrics", options.metrics,
                 "The status (implies -s) as Prometheus metrics, replacing FILE (- for standard "
                 "output) instead of the text; exit as -s does, 4 when FILE cannot be written.")
      ->type_name("FILE")
      ->check([](const std::string& file) { return file.empty() ? "FILE is empty" : ""; });
}

// What the parser lets through but makes no sense; "" when nothing.
std::string misuse(const Options& options) {
  if (options.hostname && options.collect.empty()) return "--with-hostname requires --collect";
  if (!options.metrics.empty() &&
      (options.write || options.read || options.dry_run || !options.collect.empty()))
    return "--metrics excludes --write, --read, --dry-run and --collect";
  if (options.metrics == kStdout && options.json)
    return "--metrics - and --json both write to standard output";
  if (!options.collect.empty() && (options.write || options.read || options.status ||
                                   options.json || options.force || options.dry_run))
    return "--collect excludes --write, --read, --status, --json, --force and --dry-run";
  if (options.matrix && !options.status) return "--matrix requires --status";
  if (options.json && !options.status && !options.dry_run && options.metrics.empty())
    return "--json requires --status or --dry-run";
  if (options.status && (options.write || options.read || options.dry_run))
    return "--status excludes --write, --read and --dry-run";
  if (options.host && options.guest) return "--host excludes --guest";
  if ((options.host || options.guest) && !options.status && options.metrics.empty() &&
      !options.read)
    return "--host and --guest require --status or --read";
  return "";
}

// A usage error of a command line that asks for the status or a collection
// exits with 2, which scripts tell apart from "not ready"; other modes keep
// their codes.
bool asksForStatus(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    for (const char* flag : kStatusFlags) {
      const size_t length = strlen(flag);
      const char next = strncmp(argv[i], flag, length) == 0 ? argv[i][length] : 'x';
      if (next == '\0' || next == '=') return true;  // "--metrics" or "--metrics=FILE"
    }
  }
  return false;
}

int exitStatus(Verdict verdict) {
  switch (verdict) {
    case Verdict::kReady:
      return 0;
    case Verdict::kNotReady:
      return kStatusNotReady;
    case Verdict::kUnknown:
      break;
  }
  return kStatusUnknown;
}

// The metrics into `file`, which they replace, or onto standard output (-),
// as they are: a document, not messages. False after a message naming the
// file and the reason when they cannot be written.
bool writeMetrics(const std::string& file, const std::string& text) {
  std::string reason;
  if (file == kStdout) {
    if (fflush(stdout) != 0 || !writeAll(STDOUT_FILENO, text.data(), text.size()))
      reason = strerror(errno);
  } else {
    reason = replaceFile(file, text, kMetricsMode);
  }
  if (reason.empty()) return true;
  reportTo(stderr, Priority::kError, "Error: cannot write the metrics to %s: %s\n",
           file == kStdout ? "standard output" : file.c_str(), reason.c_str());
  return false;
}

// The report and its exit status; a failure that ends the gathering still
// gives a report, whose verdict is then unknown. With --metrics the metrics
// take the text's place; --json prints beside them.
int runStatus(const Options& options) {
  const Status status = collectStatus();
  const bool written =
      options.metrics.empty() || writeMetrics(options.metrics, statusMetrics(status));
  if (options.json) {
    reportText(stdout, Priority::kInfo, statusJson(status));
  } else if (options.metrics.empty()) {
    printLines(stdout, statusLines(status, options.matrix));
  }
  return written ? exitStatus(status.verdict()) : kStatusCannotWrite;
}

RunMode runMode(const Options& options) {
  if (options.write) return RunMode::kWrite;
  return options.read ? RunMode::kRead : RunMode::kAcs;
}

// The plan of the mode asked for, changing nothing, for any user.
int runPlan(const Options& options) {
  const Plan plan = makePlan(runMode(options), options.force);
  if (options.json) {
    reportText(stdout, Priority::kInfo, planJson(plan));
  } else {
    printLines(stdout, planLines(plan));
  }
  return planExitStatus(plan);
}

int run(const Options& options) {
  if (options.host || options.guest) setGivenRole(options.host ? Role::kHost : Role::kGuest);
  if (!options.collect.empty()) return runCollect({options.collect, options.hostname});
  if (options.status || !options.metrics.empty()) return runStatus(options);
  if (options.dry_run) return runPlan(options);
  if (geteuid() != 0) {
    report(Priority::kError, "Requires root privileges.\n");
    return -1;
  }
  setChangeLines(options.verbose);
  initPCIeDevice(options.force);
  get_phy_mach_data(gpu_bus_path_set);
  switch (runMode(options)) {
    case RunMode::kWrite:
      output_base_addr(real_host_map, gpu_bus_path_set);
      break;
    case RunMode::kRead:
      VM_SaveMemoryDataToFile(real_host_map, gpu_bus_path_set);
      break;
    case RunMode::kAcs:
      close_acs_bdf(acs_need_down_switch_name_set);
      break;
  }
  reportIfNothingChanged();
  return anythingUndone() ? kLeftUndone : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!prepareStandardStreams()) return 1;
  // Messages interleave with the output of the commands we start.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  try {
    CLI::App app{kDescription, ""};
    Options options;
    setupOptions(app, options);
    try {
      app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
      const int code = app.exit(e);
      return code != 0 && asksForStatus(argc, argv) ? kStatusUsage : code;
    }
    const std::string wrong = misuse(options);
    if (!wrong.empty()) {
      reportTo(stderr, Priority::kError, "%s\n%s\n", wrong.c_str(), kRunWithHelp);
      return kStatusUsage;
    }
    return run(options);
  } catch (const std::filesystem::filesystem_error& e) {
    reportTo(stderr, Priority::kError, "Error: cannot read the PCI device tree: %s\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    reportTo(stderr, Priority::kError, "Error: %s\n", e.what());
    return 1;
  }
}
