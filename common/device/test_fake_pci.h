// Test helper: a small hand-made sysfs PCI tree in a scratch directory, to be
// bound over /sys in the sandbox, and a fake `setpci` first on PATH whose exit
// status is chosen per BDF and which logs its arguments.
//
//   <dir>/sys/devices/<parent>/<BDF>/{vendor,device,resource0,resource2}
//   <dir>/sys/bus/pci/devices/<BDF> -> ../../../devices/<parent>/<BDF>
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "common/util/scoped.h"
#include "common/util/test_boxed_run.h"
#include "tests/sim/sandbox.h"
#include "tests/sim/tempdir.h"

struct FakeFunction {
  FakeFunction(std::string bdf_in, std::string parent_in = "pci0000:00",
               std::optional<std::string> vendor_in = "0x1cb7\n",
               std::optional<std::string> device_in = "0x0003\n")
      : bdf(std::move(bdf_in)),
        parent(std::move(parent_in)),
        vendor(std::move(vendor_in)),
        device(std::move(device_in)) {}

  std::string bdf;
  std::string parent;                      // directories above it under /sys/devices
  std::optional<std::string> vendor;       // nullopt: no file
  std::optional<std::string> device;       // nullopt: no file
  bool register_window = true;             // resource2 of 0x8000 bytes
  std::map<uint32_t, uint32_t> registers;  // offset -> value in resource2
};

class FakePciTree {
 public:
  static constexpr off_t kRegisterWindowSize = 0x8000;
  static constexpr off_t kMemoryWindowSize = 0x1000;

  FakePciTree() : dir_("p2pfakepci") {
    std::filesystem::create_directories(dir_ / "sys/bus/pci/devices");
    std::filesystem::create_directories(dir_ / "sys/devices");
    dir_.write("bin/setpci",
               "#!/bin/sh\n"
               "echo \"$*\" >> " +
                   dir_ / "setpci.log" +
                   "\n"
                   "status=$(cat " +
                   dir_ / "probe/" +
                   "\"$2\" 2>/dev/null || echo 0)\n"
                   "if [ \"$status\" = vanish ]; then\n"
                   "  rm -rf \"$(readlink -f /sys/bus/pci/devices/$2)\"; exit 0\n"
                   "fi\n"
                   "[ \"$status\" = 0 ] || echo \"setpci: no answer from $2\" >&2\n"
                   "exit $status\n");
    chmod((dir_ / "bin/setpci").c_str(), 0755);
  }

  void add(const FakeFunction& f) const {
    const std::string relative = "devices/" + f.parent + "/" + f.bdf;
    const std::string function_dir = dir_ / ("sys/" + relative);
    std::filesystem::create_directories(function_dir);
    std::filesystem::create_symlink("../../../" + relative,
                                    dir_ / ("sys/bus/pci/devices/" + f.bdf));
    if (f.vendor) dir_.write("sys/" + relative + "/vendor", *f.vendor);
    if (f.device) dir_.write("sys/" + relative + "/device", *f.device);
    sizedFile(function_dir + "/resource0", kMemoryWindowSize);
    if (!f.register_window) return;
    ScopedFd window = sizedFile(function_dir + "/resource2", kRegisterWindowSize);
    for (const auto& [offset, value] : f.registers)
      EXPECT_EQ(pwrite(window.get(), &value, sizeof value, offset), 4);
  }

  // Exit status of the fake setpci for this BDF ("vanish": removes the
  // function's directory and succeeds, as a device that goes away mid-walk).
  void probeStatus(const std::string& bdf, const std::string& status) const {
    dir_.write("probe/" + bdf, status + "\n");
  }
  std::string probeLog() const { return sim::readFile(dir_ / "setpci.log"); }
  std::string sysDir() const { return dir_ / "sys"; }
  sim::Sandbox box() const {
    sim::Sandbox box;
    box.sys = sysDir();
    box.path_prepend = {dir_ / "bin"};
    return box;
  }

 private:
  static ScopedFd sizedFile(const std::string& path, off_t size) {
    ScopedFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    EXPECT_EQ(ftruncate(fd.get(), size), 0);
    return fd;
  }

  sim::TempDir dir_;
};
