#include "common/device/tamberon_driver.h"

#include <unistd.h>

#include "common/util/convert.h"
#include "common/util/paths.h"

namespace {

constexpr const char* kMinorName = "/minor";
constexpr const char* kBlanks = " \t\n";
// Read of the minor file: room for the longest minor and its line end; a
// longer first word is no minor anyway.
constexpr size_t kMinorReadLength = 32;

}  // namespace

bool isMinorNumber(const std::string& text) { return allDigits(text, kMaxMinorDigits); }

std::string minorFile(const std::string& bdf) {
  return std::string(kDriverDir) + "/" + bdf + kMinorName;
}

MinorFile readMinorFile(const std::string& bdf) {
  MinorFile minor;
  const RegularFile file = openRegularFile(minorFile(bdf));
  minor.read = file.fd.valid();
  minor.error = file.error;
  char text[kMinorReadLength] = {};
  const ssize_t got = minor.read ? ::read(file.fd.get(), text, sizeof text) : -1;
  const std::string content(text, got > 0 ? static_cast<size_t>(got) : 0);
  const size_t start = content.find_first_not_of(kBlanks);
  if (start != std::string::npos)
    minor.word = content.substr(start, content.find_first_of(kBlanks, start) - start);
  return minor;
}

std::optional<std::string> readBoundMinor(const std::string& bdf, std::string* problem,
                                          int* open_error) {
  const MinorFile minor = readMinorFile(bdf);
  if (open_error) *open_error = minor.error;
  if (isMinorNumber(minor.word)) return minor.word;
  if (problem)
    *problem = "minor file " + minorFile(bdf) +
               (minor.read ? " holds no decimal number" : ": " + openFailure(minor.error));
  return std::nullopt;
}
