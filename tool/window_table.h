// The exchange table in a GPU's memory window, read for p2ptool --status
// through a read-only mapping.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class TableShape {
  kNone,        // word count 0: no table was ever written
  kWellFormed,  // a count -w writes: one word and a pair per GPU, 1 to kMaxGroupSize GPUs
  kMalformed,   // any other count, all ones (no answer) included
  kUnreadable,  // the window cannot be opened or mapped
};

struct WindowTable {
  TableShape shape = TableShape::kUnreadable;
  std::string reason;           // kUnreadable: the errno text
  std::vector<uint64_t> words;  // word 0, and every word of a kWellFormed table
  unsigned count() const;       // the word count of word 0; 0 when not read
};

// The shape of a table whose word 0 announces `count` words.
TableShape tableShape(uint64_t count);

// The table in the memory window of the GPU named `bdf` in /sys/bus/pci/devices.
WindowTable readWindowTable(const std::string& bdf);

// Each GPU's window read at most once, when first asked for: one run of
// p2ptool --status takes the role's evidence and its view from the same read.
class WindowReads {
 public:
  const WindowTable& of(const std::string& bdf);

 private:
  std::map<std::string, WindowTable> tables_;
};

// The table in a window against `expected`, the one -w would write now.
enum class TableMatch {
  kCurrent,     // exactly that table
  kStale,       // a well-formed table, another one
  kMissing,     // word count 0
  kMalformed,   // a word count -w never writes
  kUnreadable,  // the window cannot be read
};
TableMatch matchTable(const WindowTable& window, const std::vector<unsigned long>& expected);
