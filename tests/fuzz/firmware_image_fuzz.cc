// The firmware image checker and word reader over arbitrary bytes. The input
// is "name\0image", or a bare image named fw.hex when it holds no NUL.
// Properties: an image is accepted exactly when its name has no dot, or ends
// in ".hex" and holds only 0-9, a-f, blanks and line ends; the words of an
// accepted image are its values four by four, least significant first, each
// contributing its low byte; over any bytes the reader comes to a -1.
#include <cstdio>
#include <string>
#include <vector>

#include "common/device/firmware.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

constexpr const char* kDefaultName = "fw.hex";
constexpr uint32_t kUntouched = 0xDEADBEEF;

bool isImageChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ' ' || c == '\n' || c == '\r';
}

bool expectAccepted(const std::string& name, const std::string& image) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return true;
  if (name.substr(dot) != ".hex") return false;
  for (char c : image)
    if (!isImageChar(c)) return false;
  return true;
}

// Low byte of a value that scanf's %x reads from `digits`: values beyond 64
// bits saturate to all ones.
uint32_t lowByte(const std::string& digits) {
  const size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  if (digits.size() - first > 16) return 0xFF;
  return static_cast<uint32_t>(
      std::stoul(digits.substr(digits.size() >= 2 ? digits.size() - 2 : 0), nullptr, 16));
}

// The words of an accepted image.
std::vector<uint32_t> expectedWords(const std::string& image) {
  std::vector<uint32_t> bytes;
  size_t pos = 0;
  while ((pos = image.find_first_not_of(" \r\n", pos)) != std::string::npos) {
    const size_t end = image.find_first_of(" \r\n", pos);
    bytes.push_back(lowByte(image.substr(pos, end - pos)));
    pos = end;
  }
  std::vector<uint32_t> words;
  for (size_t i = 0; i + 4 <= bytes.size(); i += 4)
    words.push_back(bytes[i] | bytes[i + 1] << 8 | bytes[i + 2] << 16 | bytes[i + 3] << 24);
  return words;
}

// Reads words until the reader first reports -1; it must get there. In a
// checked image that -1 is the end: the reader stays there.
std::vector<uint32_t> readWords(std::string& image, bool checked) {
  ScopedFile stream(fmemopen(image.data(), image.size(), "r"));
  FUZZ_CHECK(stream);
  std::vector<uint32_t> words;
  uint32_t word = kUntouched;
  for (size_t calls = 0;; ++calls) {
    FUZZ_CHECK(calls <= image.size() / 4 + 1);
    const int result = hexFileRead32(stream.get(), &word);
    if (result == -1) break;
    FUZZ_CHECK(result == 4);
    words.push_back(word);
    word = kUntouched;
  }
  FUZZ_CHECK(word == kUntouched);
  if (checked) FUZZ_CHECK(hexFileRead32(stream.get(), &word) == -1 && word == kUntouched);
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string name = nul == std::string::npos ? kDefaultName : input.substr(0, nul);
  std::string image = nul == std::string::npos ? input : input.substr(nul + 1);

  ScopedFile stream(fmemopen(image.data(), image.size(), "r"));
  FUZZ_CHECK(stream);
  const int accepted = checkFirmwareFile(name, stream.get());
  FUZZ_CHECK(accepted == (expectAccepted(name, image) ? 1 : 0));
  if (accepted) {
    const bool unread = name.find('.') == std::string::npos;
    FUZZ_CHECK(ftell(stream.get()) == (unread ? 0 : static_cast<long>(image.size())));
  } else {
    stream.release();  // the checker has closed it
  }

  const bool checked = accepted && name.find('.') != std::string::npos;
  const std::vector<uint32_t> words = readWords(image, checked);
  if (checked) FUZZ_CHECK(words == expectedWords(image));
  return 0;
}
