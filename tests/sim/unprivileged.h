// What a user other than root sees of a fabric. sysfs gives such a user the
// first 64 bytes of a function's configuration space only, and no access at
// all to its memory and register windows (resource0, resource2...: mode 0600).
// The view is an overlay's upper directory, to be mounted over the fabric's
// /sys: Sandbox::overlays {upper, "/sys"}.
#pragma once

#include <cstddef>
#include <string>

#include "tests/sim/fabric.h"

namespace sim {

inline constexpr size_t kUnprivilegedConfigBytes = 64;

// Lays that view of `fabric` into the existing directory `upper`.
void layUnprivilegedView(const Fabric& fabric, const std::string& upper);

}  // namespace sim
