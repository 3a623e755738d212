#include "tests/bench/report.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fstream>

namespace bench {
namespace {

constexpr char kCpuInfo[] = "/proc/cpuinfo";
constexpr char kModelKey[] = "model name";
constexpr char kDateFormat[] = "%Y-%m-%d";
constexpr char kHeaderFormat[] =
    "| %5s | %-21s | %8s | %6s | %7s | %-11s | %-11s | %-11s | %-11s | %s |\n";
constexpr char kRowFormat[] =
    "| %5zu | %-21s | %8.1f | %6.2f | %7.2f | %-11s | %-11s | %-11s | %-11s | %s |\n";
constexpr char kCellFormat[] = "%zu (%zu)";  // measured (design)
// Markdown rules as wide as the columns above.
constexpr const char* kRules[] = {
    "------:",       "-----------------------", "---------:",    "-------:",      "--------:",
    "-------------", "-------------",           "-------------", "-------------", "-------"};
constexpr char kLoadAverage[] = "/proc/loadavg";

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  va_list args;
  va_start(args, pattern);
  va_list again;
  va_copy(again, args);
  const int length = vsnprintf(nullptr, 0, pattern, args);
  va_end(args);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  vsnprintf(text.data(), text.size() + 1, pattern, again);
  va_end(again);
  return text;
}

std::string cpuModel() {
  std::ifstream in(kCpuInfo);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(kModelKey, 0) != 0) continue;
    const size_t colon = line.find(':');
    if (colon != std::string::npos) return line.substr(line.find_first_not_of(' ', colon + 1));
  }
  return "unknown CPU";
}

std::string loadAverage() {
  std::ifstream in(kLoadAverage);
  std::string one_minute;
  in >> one_minute;
  return one_minute.empty() ? "unknown" : one_minute;
}

std::string today() {
  char text[32];
  const time_t now = time(nullptr);
  struct tm local {};
  localtime_r(&now, &local);
  strftime(text, sizeof text, kDateFormat, &local);
  return text;
}

// The markdown line under the header: one rule per column.
std::string ruleLine() {
  std::string line = "|";
  for (const char* rule : kRules) line += std::string(rule) + "|";
  return line + "\n";
}

double perUnit(double ms, size_t units) { return units ? ms / static_cast<double>(units) : 0; }

std::string cell(size_t measured, size_t needed) { return format(kCellFormat, measured, needed); }

std::string rowText(const Row& row) {
  const ProcessCounts& counts = row.measured.counts;
  const double per_gpu = perUnit(row.measured.wall_ms, row.gpus);
  const double per_process = perUnit(row.measured.wall_ms, counts.processes);
  const std::string check = row.measured.problem.empty() ? "ok" : row.measured.problem;
  return format(kRowFormat, row.gpus, modeLabel(row.mode).c_str(), row.measured.wall_ms, per_gpu,
                per_process, cell(counts.processes, row.needed.processes()).c_str(),
                cell(counts.programStarts("sh"), row.needed.sh).c_str(),
                cell(counts.programStarts("setpci"), row.needed.setpci).c_str(),
                cell(counts.programStarts("cat"), row.needed.cat).c_str(), check.c_str());
}

// Program starts other than sh, setpci and cat, if any: "2 echo, 1 ls".
std::string otherPrograms(const std::vector<Row>& rows) {
  std::string others;
  for (const Row& row : rows)
    for (const auto& [name, count] : row.measured.counts.programs)
      if (name != "sh" && name != "setpci" && name != "cat")
        others += format("%s%zu %s (%zu GPUs, %s)", others.empty() ? "" : ", ", count, name.c_str(),
                         row.gpus, modeLabel(row.mode).c_str());
  return others.empty() ? "none" : others;
}

}  // namespace

std::string fabricSummary(const HostLayout& layout) {
  return format("%zu GPUs: %zu switches, %zu dual-chip GPUs, %zu PCI domains, %zu ACS ports",
                layout.gpus, layout.groups.size(), layout.dual_chip_gpus, layout.domains.size(),
                layout.acs_ports.size());
}

std::string machineSummary() {
  struct utsname name {};
  uname(&name);
  return format("%ld CPUs (nproc), %s, Linux %s, %s, load average %s at the start",
                sysconf(_SC_NPROCESSORS_ONLN), cpuModel().c_str(), name.release, today().c_str(),
                loadAverage().c_str());
}

std::string table(const std::vector<Row>& rows) {
  std::string text = format(kHeaderFormat, "GPUs", "mode", "wall ms", "ms/GPU", "ms/proc",
                            "processes", "sh", "setpci", "cat", "check");
  text += ruleLine();
  for (const Row& row : rows) text += rowText(row);
  text += "\nOther programs started: " + otherPrograms(rows) + "\n";
  return text;
}

std::string legend(double sandbox_start_ms, int runs) {
  return format(
      "wall ms: median of %d runs; p2ptool: from starting the sandbox to its exit (starting an\n"
      "  empty sandbox alone takes %.1f ms); p2pwatch: from creating a /dev node to the last\n"
      "  GPU's output line. ms/GPU: wall ms / GPUs; ms/proc: wall ms / processes started.\n"
      "processes: processes started (successful fork, vfork, clone, clone3) in one run under\n"
      "  strace -f; sh, setpci, cat: successful execve of each program in that run. Each cell\n"
      "  reads measured (design). The design needs a setpci probe per GPU, a device-ID read per\n"
      "  analysed GPU, an ACS command per collected port (default mode) and a driver command\n"
      "  per (guest GPU, group member) pair (watch pass). Each goes through /bin/sh: system()\n"
      "  and popen() start sh, which starts setpci or cat as its child, so a probe, an ACS\n"
      "  command and a device-ID read (popen of \"cat .../device\") each cost two processes;\n"
      "  echo is a shell builtin, so a driver command costs one.\n",
      runs, sandbox_start_ms);
}

}  // namespace bench
