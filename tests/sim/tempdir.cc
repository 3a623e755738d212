#include "tests/sim/tempdir.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <utility>
#include <vector>

namespace sim {
namespace {

constexpr char kDefaultTmp[] = "/tmp";

std::string tempBase() {
  const char* env = getenv("TMPDIR");
  return env && *env ? env : kDefaultTmp;
}

}  // namespace

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = tempBase() + "/" + prefix + ".XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::system_error(errno, std::generic_category(), pattern);
  path_ = buffer.data();
  owner_ = getpid();
}

TempDir::TempDir(TempDir&& other) noexcept
    : path_(std::exchange(other.path_, std::string())), owner_(other.owner_) {}

TempDir& TempDir::operator=(TempDir&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = std::exchange(other.path_, std::string());
    owner_ = other.owner_;
  }
  return *this;
}

TempDir::~TempDir() { remove(); }

void TempDir::remove() {
  if (path_.empty() || getpid() != owner_) return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
  path_.clear();
}

std::string TempDir::subdir(const std::string& name) const {
  std::string dir = *this / name;
  std::filesystem::create_directories(dir);
  return dir;
}

std::string TempDir::write(const std::string& name, const std::string& text) const {
  std::string file = *this / name;
  std::filesystem::create_directories(std::filesystem::path(file).parent_path());
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
  return file;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace sim
