#include "tool/window_table.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/device/enumeration.h"
#include "common/device/exchange_area.h"
#include "common/device/windows.h"
#include "common/util/paths.h"
#include "common/util/scoped.h"
#include "tool/exchange.h"

unsigned WindowTable::count() const { return words.empty() ? 0 : areaWordCount(words[0]); }

TableShape tableShape(uint64_t count) {
  if (count == 0) return TableShape::kNone;
  const bool fits = count >= 3 && count <= 1 + 2 * kMaxGroupSize;
  return fits && count % 2 == 1 ? TableShape::kWellFormed : TableShape::kMalformed;
}

WindowTable readWindowTable(const std::string& bdf) {
  WindowTable table;
  const std::string path = kSysPciDevices + bdf + kWindowFile;
  ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::vector<unsigned long> span(kMemoryWindowSpan / sizeof(unsigned long));
  if (!fd.valid() ||
      !readMemoryReadOnly(kMemoryWindowSpan, span.data(), fd.get(), kExchangeOffset)) {
    table.reason = readFailure(errno);
    return table;
  }
  const unsigned count = areaWordCount(span[0]);
  table.shape = tableShape(count);
  const size_t kept = table.shape == TableShape::kWellFormed ? count : 1;
  table.words.assign(span.begin(), span.begin() + kept);
  return table;
}

const WindowTable& WindowReads::of(const std::string& bdf) {
  const auto known = tables_.find(bdf);
  if (known != tables_.end()) return known->second;
  return tables_.emplace(bdf, readWindowTable(bdf)).first->second;
}

TableMatch matchTable(const WindowTable& window, const std::vector<unsigned long>& expected) {
  switch (window.shape) {
    case TableShape::kNone:
      return TableMatch::kMissing;
    case TableShape::kMalformed:
      return TableMatch::kMalformed;
    case TableShape::kUnreadable:
      return TableMatch::kUnreadable;
    case TableShape::kWellFormed:
      break;
  }
  const bool same =
      std::equal(window.words.begin(), window.words.end(), expected.begin(), expected.end());
  return same ? TableMatch::kCurrent : TableMatch::kStale;
}
