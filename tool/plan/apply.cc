#include "tool/plan/apply.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/device/pci_config.h"
#include "common/device/windows.h"
#include "common/log/console.h"
#include "common/util/convert.h"
#include "tool/undone.h"

namespace {

constexpr int kWordDigits = 4;
constexpr const char* kHeld = "\033[31mWARNING:\033[0m GPU %s %s%s%s\n";
constexpr const char* kHeldLeft = ": left as it is (--force writes anyway)";
constexpr const char* kUnanswered =
    "\033[31mError:\033[0m GPU %s: its configuration space reads all ones or cannot be read; left "
    "as it is\n";
constexpr const char* kWordWriteFailed =
    "\033[31mError:\033[0m GPU %s: writing its configuration word at 0x%lx failed: %s; left for "
    "the next run\n";
constexpr const char* kAcsWarning =
    "\033[31mWARNING:\033[0m Failed modified and ACS \033[4m%s\033[0m status is turned on\n";
constexpr const char* kNotAnAddress =
    "\033[31mError:\033[0m Port name \"%s\" is no PCI address; its ACS is left as it is\n";
constexpr const char* kUngrouped = "GPU %s sits %s: in no group, no exchange table written\n";
constexpr const char* kGroupTooLarge =
    "\033[31mError:\033[0m Group %s has %zu GPUs, more than the %zu an exchange area holds; "
    "nothing written for it\n";
constexpr const char* kLeftoverKept =
    "\033[31mWARNING:\033[0m Cannot remove %s, left by an interrupted run: %s\n";
constexpr const char* kStoreFailed = "\033[31mError:\033[0m failed to write configuration file!\n";
constexpr const char* kLooksLikeHost =
    "\033[31mWARNING:\033[0m This machine looks like a host (%s): p2ptool -r is for guests; it "
    "stores the peer files all the same\n";

bool change_lines = false;
unsigned changes = 0;

// A line of -v: a change done (counted) or an item found as it should be.
void changeLine(bool counted, const char* format, ...) __attribute__((format(printf, 2, 3)));
void changeLine(bool counted, const char* format, ...) {
  if (counted) ++changes;
  if (!change_lines) return;
  va_list args;
  va_start(args, format);
  vreportTo(stdout, Priority::kInfo, format, args);
  va_end(args);
}

std::string word(uint16_t value) { return hexNumber(value, kWordDigits); }

// The plan's reason names the holders ("in use by a running guest (...)", or
// "may be in use ..." when they cannot be seen) and, forced, says so.
void warnHeld(const GpuStep& step) {
  const char* verb = step.holders->tenants.empty() ? "" : "is ";
  report(Priority::kWarning, kHeld, step.bdf.c_str(), verb, step.state.reason.c_str(),
         step.forced ? "" : kHeldLeft);
}

// False, after a message, when the write fails: left for the next run.
bool writeWord(const GpuStep& step, int fd, const WordStep& change, const char* name) {
  const unsigned char bytes[2] = {static_cast<unsigned char>(change.after & 0xff),
                                  static_cast<unsigned char>(change.after >> 8)};
  const ssize_t written = ::pwrite(fd, bytes, sizeof bytes, static_cast<off_t>(change.offset));
  if (written == sizeof bytes) {
    changeLine(true, "GPU %s: %s %s -> %s\n", step.bdf.c_str(), name, word(change.before).c_str(),
               word(change.after).c_str());
    return true;
  }
  report(Priority::kError, kWordWriteFailed, step.bdf.c_str(), static_cast<long>(change.offset),
         written < 0 ? strerror(errno) : "short write");
  return false;
}

// A GPU the plan leaves alone: its message, and work undone.
bool leftAlone(const GpuStep& step) {
  switch (step.alone) {
    case GpuAlone::kNone:
      return false;
    case GpuAlone::kSkipped:  // the enumeration said why
      break;
    case GpuAlone::kUnopened:
      report(Priority::kError, "Failed to open config file.\n");
      reportReason(Priority::kError, step.device + "/config", step.error);
      break;
    case GpuAlone::kUnanswered:
      report(Priority::kError, kUnanswered, step.bdf.c_str());
      break;
    case GpuAlone::kHeld:
      warnHeld(step);
      break;
  }
  leaveUndone();
  return true;
}

// setpci exits 0 even when it selects no device, and some ports keep bits a
// write cannot clear: only the register read back tells.
void applyPort(const PortStep& step) {
  fflush(stdout);
  const bool written = system(step.command.c_str()) == 0;
  const auto control = readAcsControl(step.port);
  if (!written || !control || (*control & kAcsRedirectMask) != 0) {
    report(Priority::kWarning, kAcsWarning, step.port.c_str());
    return leaveUndone();
  }
  const std::string after = word(*control) + " (" + decodeAcsControl(*control) + ")";
  if (step.before == control)
    return changeLine(false, "Port %s: ACS Control %s unchanged\n", step.port.c_str(),
                      after.c_str());
  changeLine(true, "Port %s: ACS Control %s -> %s\n", step.port.c_str(),
             step.before ? word(*step.before).c_str() : "unknown", after.c_str());
}

void writeTable(const TableStep& step) {
  const int fd = openWindow(step.device);
  if (fd < 0) return leaveUndone();
  std::vector<unsigned long> area = step.table;
  if (!writeMemoryGlobal(area.size() * sizeof(unsigned long), area.data(), fd, kExchangeOffset)) {
    reportGpuFailure(step.gpu, errno);
    return leaveUndone();
  }
  changeLine(true, "GPU %s: exchange table of %zu words written (it was %s)\n", step.gpu.c_str(),
             area.size(), tableNowName(step.now));
}

void applyGroup(const GroupStep& group) {
  if (group.too_large) {
    report(Priority::kError, kGroupTooLarge, group.key.c_str(), group.members.size(),
           kMaxGroupSize);
    return leaveUndone();
  }
  reportLeftOuts(group.key, group.members, group.left_out);
  for (const TableStep& step : group.tables) {
    if (step.table.empty()) continue;  // no table for it (a collision too): no byte reaches it
    if (step.state.outcome == Outcome::kUnchanged)
      changeLine(false, "GPU %s: exchange table already current\n", step.gpu.c_str());
    else
      writeTable(step);
  }
}

void removeLeftover(const std::string& path) {
  if (::unlink(path.c_str()) == 0)
    return changeLine(true, "Removed %s, left by an interrupted run\n", path.c_str());
  report(Priority::kWarning, kLeftoverKept, path.c_str(), strerror(errno));
}

// The GPU's messages name it with its side (`side`'s address).
void applyPeerFile(const PeerStep& step, Role side) {
  const std::string gpu = sideAddress(side, step.gpu);
  replayMessages(step.messages);
  if (step.open_error != 0) {
    reportWindowUnopened(step.window, gpu, step.open_error);
    return leaveUndone();
  }
  const auto table = areaTable(step.area, gpu);
  if (!table) return leaveUndone();
  if (step.file == PeerNow::kUnchanged)
    return changeLine(false, "Peer file %s unchanged\n", step.path.c_str());
  if (storePeerFile(step.gpu, *table))
    return changeLine(true, "Peer file %s stored (%s)\n", step.path.c_str(),
                      step.file == PeerNow::kNew ? "new" : "it differed");
  const int error = errno;
  report(Priority::kError, "%s", kStoreFailed);
  reportGpuFailure(gpu, error);
  leaveUndone();
}

}  // namespace

void setChangeLines(bool on) { change_lines = on; }

void reportIfNothingChanged() {
  if (change_lines && changes == 0) report(Priority::kInfo, "Nothing changed.\n");
}

void applyGpuWords(const GpuStep& step, int fd) {
  if (leftAlone(step)) return;
  if (step.holders) warnHeld(step);  // written all the same (--force)
  bool written = true;
  if (step.command && step.command->changes())
    written = writeWord(step, fd, *step.command, "Command");
  if (step.power && step.power->changes())
    written = writeWord(step, fd, *step.power, "Power Management control") && written;
  if (!written) leaveUndone();
}

void applyPorts(const std::vector<PortStep>& ports) {
  for (const PortStep& step : ports) {
    if (step.alone == PortAlone::kNoAcs) continue;  // it redirects nothing
    if (step.alone == PortAlone::kNone) {
      applyPort(step);
      continue;
    }
    report(Priority::kError, kNotAnAddress, step.port.c_str());
    leaveUndone();
  }
}

void applyTables(const WritePlan& plan) {
  for (const auto& [bdf, where] : plan.ungrouped)
    report(Priority::kInfo, kUngrouped, bdf.c_str(), where.c_str());
  for (const GroupStep& group : plan.groups) applyGroup(group);
}

void applyPeerFiles(const ReadPlan& plan) {
  if (plan.side() == Role::kHost && !plan.files.empty())
    report(Priority::kWarning, kLooksLikeHost, roleEvidence(plan.role).c_str());
  const std::optional<bool> made = makePeerConfigDir();
  if (!made) {
    if (!plan.files.empty()) leaveUndone();
    return;
  }
  if (*made) changeLine(true, "Created %s\n", kPeerConfigDir);
  for (const std::string& path : plan.leftovers) removeLeftover(path);
  for (const PeerStep& step : plan.files) applyPeerFile(step, plan.side());
}
