#include "tests/bench/trace_count.h"

#include <cctype>
#include <fstream>
#include <set>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace bench {
namespace {

constexpr char kExecve[] = "execve";
constexpr char kResumedPrefix[] = "<... ";
constexpr char kResumedSuffix[] = " resumed>";
constexpr char kUnfinished[] = "<unfinished ...>";
constexpr char kResultMark[] = " = ";
constexpr char kThreadFlag[] = "CLONE_THREAD";
const std::set<std::string> kForkCalls = {"fork", "vfork", "clone", "clone3"};

// One system call as strace printed it, possibly in two pieces.
struct Call {
  std::string name;
  std::string text;  // arguments and, once complete, the result
};

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool isTracked(const std::string& name) { return name == kExecve || kForkCalls.count(name) != 0; }

// The result after the last " = " that follows the closing parenthesis of the
// arguments; nothing when the call returned an error or "?".
bool successfulResult(const std::string& text, long* result) {
  for (size_t at = text.rfind(kResultMark); at != std::string::npos && at > 0;
       at = text.rfind(kResultMark, at - 1)) {
    const size_t before = text.find_last_not_of(' ', at);
    if (before == std::string::npos || text[before] != ')') continue;
    const size_t digits = at + sizeof kResultMark - 1;
    if (digits >= text.size() || !std::isdigit(static_cast<unsigned char>(text[digits])))
      return false;
    *result = std::stol(text.substr(digits));
    return true;
  }
  return false;
}

// "execve(\"/usr/bin/setpci\", ..." -> "setpci".
std::string programName(const std::string& text) {
  const size_t open = text.find('"');
  const size_t close = open == std::string::npos ? open : text.find('"', open + 1);
  if (close == std::string::npos) return "";
  const std::string path = text.substr(open + 1, close - open - 1);
  return path.substr(path.rfind('/') + 1);
}

class Counter {
 public:
  void line(const std::string& text) {
    size_t digits = 0;
    while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
    if (digits == 0) return;
    const long pid = std::stol(text.substr(0, digits));
    const size_t start = text.find_first_not_of(' ', digits);
    if (start != std::string::npos) piece(pid, text.substr(start));
  }

  ProcessCounts result() const { return counts_; }

 private:
  void piece(long pid, const std::string& rest) {
    Call call;
    if (rest.rfind(kResumedPrefix, 0) == 0) {
      auto pending = pending_.find(pid);
      if (pending == pending_.end()) return;
      call = pending->second;
      pending_.erase(pending);
      call.text += rest.substr(rest.find('>') + 1);
    } else {
      const size_t paren = rest.find('(');
      if (paren == std::string::npos || !isTracked(rest.substr(0, paren))) return;
      call = {rest.substr(0, paren), rest.substr(paren)};
      if (endsWith(call.text, kUnfinished)) {
        call.text.resize(call.text.size() - (sizeof kUnfinished - 1));
        pending_[pid] = call;
        return;
      }
    }
    complete(call);
  }

  void complete(const Call& call) {
    long result = 0;
    if (!successfulResult(call.text, &result)) return;
    if (call.name == kExecve) {
      if (result == 0 && std::exchange(seen_own_start_, true))
        ++counts_.programs[programName(call.text)];
    } else if (result > 0 && call.text.find(kThreadFlag) == std::string::npos) {
      ++counts_.processes;
    }
  }

  std::unordered_map<long, Call> pending_;
  bool seen_own_start_ = false;
  ProcessCounts counts_;
};

}  // namespace

size_t ProcessCounts::programStarts(const std::string& name) const {
  const auto found = programs.find(name);
  return found == programs.end() ? 0 : found->second;
}

ProcessCounts countProcesses(std::istream& trace) {
  Counter counter;
  for (std::string text; std::getline(trace, text);) counter.line(text);
  return counter.result();
}

ProcessCounts countProcessesInFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read the trace " + path);
  return countProcesses(in);
}

}  // namespace bench
