// Guest side: each GPU's exchange area read from its window and stored as its
// peer configuration file. The read mode itself is its plan, then applied
// (tool/plan/).
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "common/device/windows.h"
#include "common/log/console.h"
#include "common/util/replace_file.h"
#include "tool/exchange.h"

namespace {

constexpr const char* kTempPattern = ".peer-XXXXXX";
constexpr size_t kTempRandomLength = 6;  // the X's mkstemp replaces by letters and digits
constexpr const char* kNoTable =
    "\033[31mError:\033[0m The window of card %s holds no exchange table (word count 0): run "
    "`p2ptool -w` on the host first; its peer file is left as it is\n";

}  // namespace

std::optional<bool> makePeerConfigDir() {
  std::error_code ec;
  const bool made =
      std::filesystem::create_directories(std::filesystem::path(kPeerConfigDir).parent_path(), ec);
  if (!ec) return made;
  report(Priority::kError, "\033[31mError:\033[0m Cannot create %s: %s\n", kPeerConfigDir,
         ec.message().c_str());
  return std::nullopt;
}

bool isTempName(const std::string& name) {
  const size_t prefix = strlen(kTempPattern) - kTempRandomLength;
  return name.size() == strlen(kTempPattern) &&
         name.compare(0, prefix, kTempPattern, prefix) == 0 &&
         std::all_of(name.begin() + prefix, name.end(),
                     [](unsigned char c) { return std::isalnum(c) != 0; });
}

// The file is on disk before it is renamed, and the rename before success is
// returned.
bool storePeerFile(const std::string& name, const std::vector<unsigned long>& words) {
  return replaceFileBytes(kPeerConfigDir + name, words.data(), words.size() * sizeof(unsigned long),
                          kPeerFileMode, {kTempPattern, true});
}

AreaRead readArea(int fd) {
  AreaRead area;
  unsigned long word0 = 0;
  if (!readMemoryReadOnly(sizeof word0, &word0, fd, kExchangeOffset)) {
    area.error = errno;
    return area;
  }
  area.count = areaWordCount(word0);
  if (area.count == 0) {
    area.state = AreaState::kNone;
  } else if (area.count == kOfflineCount) {
    area.state = AreaState::kOffline;
  } else if (area.count > kMaxAreaWords) {
    area.state = AreaState::kAbnormal;
  } else {
    area.words.resize(area.count);
    const bool read = readMemoryReadOnly(area.count * sizeof(unsigned long), area.words.data(), fd,
                                         kExchangeOffset);
    area.error = read ? 0 : errno;
    area.state = read ? AreaState::kTable : AreaState::kUnread;
    if (!read) area.words.clear();
  }
  return area;
}

void reportAreaRead(const AreaRead& area, const std::string& name) {
  switch (area.state) {
    case AreaState::kUnread:
      return reportGpuFailure(name, area.error);
    case AreaState::kNone:
      return report(Priority::kError, kNoTable, name.c_str());
    case AreaState::kOffline:
      return report(Priority::kWarning, "\033[31mOffline:\033[0m Failed to open card %s\n",
                    name.c_str());
    case AreaState::kAbnormal:
      return report(Priority::kError,
                    "\033[31mError:\033[0m The resource0 of card %s is abnormal and skiping this "
                    "card ...\n",
                    name.c_str());
    case AreaState::kTable:
      break;
  }
}

std::optional<std::vector<unsigned long>> areaTable(AreaRead area, const std::string& name) {
  reportAreaRead(area, name);
  if (area.state != AreaState::kTable) return std::nullopt;
  return std::move(area.words);
}

std::optional<std::vector<unsigned long>> readExchangeArea(int fd, const std::string& name) {
  return areaTable(readArea(fd), name);
}
