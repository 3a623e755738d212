#include "tool/exchange.h"

#include <fcntl.h>

#include <cstdio>

#include "common/util/convert.h"

std::vector<unsigned long> buildExchangeArea(const std::string& self, const BarMap& group) {
  const unsigned long words = 1 + 2 * group.size();
  std::vector<unsigned long> area;
  area.reserve(words);
  area.push_back(bdf_string_to_uint64_t(self) | words << 32);
  for (const auto& [bdf, bar0] : group) {
    area.push_back(bdf_string_to_uint64_t(bdf));
    area.push_back(bar0);
  }
  return area;
}

std::optional<std::filesystem::path> findDevicePath(const std::set<std::filesystem::path>& devices,
                                                    const std::string& bdf) {
  for (const auto& device : devices)
    if (device.filename() == bdf) return device;
  return std::nullopt;
}

int openWindow(const std::filesystem::path& device) {
  const std::string window = device.string() + kWindowFile;
  const int fd = ::open(window.c_str(), O_RDWR);
  if (fd < 0) printf("\033[31mError:\033[0m Failed to open %s\n", window.c_str());
  return fd;
}
