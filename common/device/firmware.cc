#include "common/device/firmware.h"

#include <glob.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/log/console.h"
#include "common/util/scoped.h"

namespace {

constexpr const char* kHexPattern = "*.hex";
constexpr const char* kHexSuffix = ".hex";
constexpr const char* kGlobFailed = "Failed to glob files.\n";
constexpr const char* kUnsupportedFormat = "Unsupported firmware file format: %s\n";
constexpr const char* kOpenFailedFormat = "Error: failed to open file %s\n";
constexpr const char* kWordFormat = "%x%x%x%x";
constexpr const char* kBinaryRead = "rb";
// Images are checked in pieces of at most 255 characters.
constexpr int kCheckPieceSize = 256;
// Filler of a piece before fgets: anything but NUL, so the last NUL marks where fgets stopped.
constexpr char kPieceFiller = 'x';
constexpr int kValuesPerWord = 4;
constexpr size_t kHeadSize = 48;
constexpr size_t kHeadBlockSize = 192;
// Versions above this one are too new.
const std::vector<int> kHighestVersion = {1, 0, 9};

// glob's result, released with globfree when it goes out of scope.
class ScopedGlob {
 public:
  explicit ScopedGlob(const char* pattern) : status_(glob(pattern, 0, nullptr, &found_)) {}
  ScopedGlob(const ScopedGlob&) = delete;
  ScopedGlob& operator=(const ScopedGlob&) = delete;
  ~ScopedGlob() { globfree(&found_); }

  bool ok() const { return status_ == 0 && found_.gl_pathc > 0; }
  const char* first() const { return found_.gl_pathv[0]; }

 private:
  glob_t found_ = {};
  int status_;
};

bool isPermittedImageChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ' ' || c == '\n' || c == '\r';
}

int rejectImage(const std::string& name, FILE* stream) {
  fclose(stream);
  report(Priority::kError, kUnsupportedFormat, name.c_str());
  return 0;
}

// Whether every character of the stream is permitted in an image. fgets
// keeps NUL bytes, so the length of a piece is found from its terminator.
bool holdsOnlyImageChars(FILE* stream) {
  char piece[kCheckPieceSize];
  memset(piece, kPieceFiller, sizeof piece);
  while (fgets(piece, sizeof piece, stream)) {
    const char* end = static_cast<const char*>(memrchr(piece, '\0', sizeof piece));
    for (const char* c = piece; c < end; ++c)
      if (!isPermittedImageChar(*c)) return false;
    memset(piece, kPieceFiller, sizeof piece);
  }
  return true;
}

}  // namespace

int sameDirFindHexFile(std::string& name) {
  ScopedGlob found(kHexPattern);
  if (!found.ok()) {
    report(Priority::kError, "%s", kGlobFailed);
    return 0;
  }
  name = found.first();
  return 1;
}

int checkFirmwareFile(std::string name, FILE* stream) {
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos) return 1;
  if (name.compare(dot, std::string::npos, kHexSuffix) != 0) return rejectImage(name, stream);
  if (!holdsOnlyImageChars(stream)) return rejectImage(name, stream);
  return 1;
}

int hexFileRead32(FILE* stream, uint32_t* word) {
  unsigned int values[kValuesPerWord];
  if (fscanf(stream, kWordFormat, &values[0], &values[1], &values[2], &values[3]) != kValuesPerWord)
    return -1;
  fgetc(stream);
  *word = values[3] << 24 | (values[2] & 0xFF) << 16 | (values[1] & 0xFF) << 8 | (values[0] & 0xFF);
  return kValuesPerWord;
}

bool checkFwVersion(const std::string& version) {
  std::vector<int> numbers;
  long long number = 0;
  for (char c : version) {
    if (c >= '0' && c <= '9') {
      number = number * 10 + (c - '0');
      if (number > INT_MAX) number = INT_MAX;
    } else {
      numbers.push_back(static_cast<int>(number));
      number = 0;
    }
  }
  numbers.push_back(static_cast<int>(number));
  return numbers <= kHighestVersion;
}

int readFileData(const char* path, unsigned char** data) {
  *data = nullptr;
  ScopedFile file(path, kBinaryRead);
  if (!file) {
    report(Priority::kError, kOpenFailedFormat, path);
    return -1;
  }
  unsigned char* block = static_cast<unsigned char*>(calloc(kHeadBlockSize, 1));
  if (!block) return -1;
  size_t ignored = fread(block, 1, kHeadSize, file.get());
  (void)ignored;  // a shorter file leaves the rest of the block zero
  *data = block;
  return static_cast<int>(kHeadSize);
}
