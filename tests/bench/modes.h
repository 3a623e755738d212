// The runs the benchmark measures and what each needs by design.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tests/bench/bench_fabric.h"

namespace bench {

enum class Mode {
  kDefault,  // p2ptool on the host: discovery, analysis, ACS off
  kStatus,   // p2ptool --status on the host, after the default mode and -w (ready)
  kWrite,    // p2ptool -w on the host
  kRead,     // p2ptool -r in the guest
  kWatch,    // one p2pwatch pass in the guest
};

constexpr Mode kAllModes[] = {Mode::kDefault, Mode::kWrite, Mode::kStatus, Mode::kRead,
                              Mode::kWatch};

std::string modeLabel(Mode mode);
std::vector<std::string> toolArguments(Mode mode);  // p2ptool's options; none for kWatch

// Program starts a run needs: every shell command is one /bin/sh that starts
// its program as a child (echo is the shell's builtin).
struct Needed {
  size_t sh = 0;
  size_t setpci = 0;
  size_t cat = 0;
  size_t processes() const { return sh + setpci + cat; }
};

// One setpci probe (sh + setpci) per GPU in every p2ptool mode, one device-ID
// read (sh + cat) per analysed GPU, one ACS command (sh + setpci) per
// collected port in the default mode, one driver command (sh) per (guest
// GPU, group member) pair in a watch pass. The status report starts none. All GPUs of the layout
// are analysed (none sits directly below a root port) and all are passed through.
Needed designNeeds(Mode mode, const HostLayout& layout);

}  // namespace bench
