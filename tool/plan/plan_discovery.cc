// Discovery's plan: the GPUs found, what each one's configuration file holds
// and who holds it, and each GPU's step (plan_gpus.cc).
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "common/util/scoped.h"
#include "tool/plan/planners.h"

namespace {

constexpr const char* kConfigFile = "/config";

// Finds the GPUs (gpu_bus_path_set; the functions skipped into `skipped`)
// and who holds each one bound to vfio-pci (BDF -> holders).
std::map<std::string, Holders> findGpus(bool probe, std::vector<SkippedFunction>& skipped) {
  gpu_bus_path_set = GetAllDevicePath(&skipped, probe);
  std::vector<std::string> bdfs;
  for (const auto& device : gpu_bus_path_set) bdfs.push_back(device.filename().string());
  return gpuHolders(bdfs);
}

// What discovery reads of one GPU, its configuration file opened with
// `flags` into `fd` (and the GPU named in gpu_bus_name_set once it opens).
GpuFacts readGpu(const std::filesystem::path& device, int flags, ScopedFd& fd,
                 const std::map<std::string, Holders>& held) {
  GpuFacts facts;
  facts.bdf = device.filename().string();
  facts.device = device.string();
  fd = ScopedFd(::open((facts.device + kConfigFile).c_str(), flags));
  if (!fd.valid()) {
    facts.open_error = errno;
    return facts;
  }
  gpu_bus_name_set.insert(facts.bdf);
  facts.config = readConfigSpace(fd.get());
  const auto holders = held.find(facts.bdf);
  if (holders != held.end()) facts.holders = &holders->second;
  return facts;
}

}  // namespace

void planEachGpu(bool force, bool as_root, int flags, std::vector<SkippedFunction>& skipped,
                 const std::function<void(const GpuStep&, int fd)>& each) {
  const auto held = findGpus(as_root, skipped);
  for (const auto& device : gpu_bus_path_set) {
    ScopedFd fd;
    const GpuStep step = planGpuWords(readGpu(device, flags, fd, held), force, as_root);
    if (step.alone == GpuAlone::kHeld) gpu_in_use_set.insert(step.bdf);  // for -w
    each(step, fd.get());
  }
}

std::vector<GpuStep> planDiscovery(bool force, bool as_root) {
  std::vector<SkippedFunction> skipped;
  std::vector<GpuStep> steps;
  // Never written; a FIFO in a configuration file's place does not block.
  planEachGpu(force, as_root, O_RDONLY | O_NONBLOCK | O_CLOEXEC, skipped,
              [&](const GpuStep& step, int) { steps.push_back(step); });
  for (const SkippedFunction& function : skipped) steps.push_back(skippedGpu(function));
  std::sort(steps.begin(), steps.end(),
            [](const GpuStep& a, const GpuStep& b) { return a.bdf < b.bdf; });
  return steps;
}
