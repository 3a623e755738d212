#include "common/device/guest_claims.h"

#include <functional>
#include <vector>

#include "common/device/pci_address.h"
#include "common/device/tamberon_driver.h"

namespace {

// `claims` (guest BDF -> value) judged: `file` names the file of a GPU,
// `claim` says what that file holds ("holds 3").
template <typename Value>
SharedClaims shared(const std::map<std::string, Value>& claims,
                    const std::function<std::string(const std::string&)>& file,
                    const std::function<std::string(const Value&)>& claim) {
  std::map<Value, std::vector<std::string>> holders;
  for (const auto& [gpu, value] : claims) holders[value].push_back(gpu);
  SharedClaims result;
  for (const auto& [value, gpus] : holders) {
    if (gpus.size() < 2) continue;
    for (const auto& gpu : gpus) {
      std::string others;
      for (const auto& other : gpus)
        if (other != gpu) others += (others.empty() ? "" : ", ") + file(other);
      result[gpu] =
          file(gpu) + " " + claim(value) + (gpus.size() == 2 ? ", as does " : ", as do ") + others;
    }
  }
  return result;
}

}  // namespace

SharedClaims sharedMinors(const std::map<std::string, std::string>& minors) {
  return shared<std::string>(
      minors, [](const std::string& gpu) { return "minor file " + minorFile(gpu); },
      [](const std::string& minor) { return "holds " + minor; });
}

SharedClaims sharedHostGpus(const std::map<std::string, uint64_t>& selves, const std::string& dir) {
  return shared<uint64_t>(
      selves, [&](const std::string& gpu) { return "peer configuration file " + dir + gpu; },
      [](const uint64_t& self) { return "names host GPU " + pciAddressOfPacked(self); });
}
