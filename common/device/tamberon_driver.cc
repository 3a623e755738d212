#include "common/device/tamberon_driver.h"

#include <unistd.h>

#include "common/util/paths.h"

namespace {

constexpr const char* kMinorName = "/minor";
constexpr const char* kBlanks = " \t\n";
// Read of the minor file: room for the longest minor and its line end; a
// longer first word is no minor anyway.
constexpr size_t kMinorReadLength = 32;

}  // namespace

bool isMinorNumber(const std::string& text) {
  return !text.empty() && text.size() <= kMaxMinorDigits &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

std::string minorFile(const std::string& bdf) {
  return std::string(kDriverDir) + "/" + bdf + kMinorName;
}

std::optional<std::string> readBoundMinor(const std::string& bdf, std::string* problem,
                                          int* open_error) {
  const std::string path = minorFile(bdf);
  const RegularFile file = openRegularFile(path);
  if (open_error) *open_error = file.error;
  char text[kMinorReadLength] = {};
  const ssize_t got = file.fd.valid() ? ::read(file.fd.get(), text, sizeof text) : -1;
  std::string word(text, got > 0 ? static_cast<size_t>(got) : 0);
  const size_t start = word.find_first_not_of(kBlanks);
  word = start == std::string::npos
             ? ""
             : word.substr(start, word.find_first_of(kBlanks, start) - start);
  if (isMinorNumber(word)) return word;
  if (problem)
    *problem = "minor file " + path +
               (file.fd.valid() ? " holds no decimal number" : ": " + openFailure(file));
  return std::nullopt;
}
