// Test helper: runs a piece of test code inside the sandbox (a forked child in
// a private mount namespace) and brings back what it printed and returned;
// FabricBox gives it a simulated fabric as /sys and a fake setpci.
#pragma once

#include <exception>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "tests/sim/fabric.h"
#include "tests/sim/fake_command.h"
#include "tests/sim/sandbox.h"
#include "tests/sim/tempdir.h"

struct BoxedRun {
  int status = -1;     // the child's exit status (128 + signal when it died)
  std::string result;  // what the code returned, or "exception: <what>"
  std::string out;     // standard output
  std::string err;     // standard error
};

// A fabric in a scratch directory and a setpci that succeeds unless told
// otherwise, first on PATH.
struct FabricBox {
  sim::TempDir dir{"p2pfabric"};
  sim::Fabric fabric{dir.path()};
  sim::FakeCommand setpci = sim::fakeSetpci();

  sim::Sandbox box() const {
    sim::Sandbox box;
    box.sys = fabric.sysDir();
    box.path_prepend = {setpci.dir()};
    return box;
  }
};

inline BoxedRun runBoxed(const sim::Sandbox& box, const std::function<std::string()>& code) {
  sim::TempDir scratch("p2pboxed");
  const std::string result_file = scratch / "result";
  sim::Result run = sim::runFunctionCaptured(box, [&]() {
    std::string returned;
    try {
      returned = code();
    } catch (const std::exception& e) {
      returned = std::string("exception: ") + e.what();
    }
    std::ofstream(result_file, std::ios::binary) << returned;
    return 0;
  });
  return BoxedRun{run.status, sim::readFile(result_file), run.out, run.err};
}
