// The guest view of one GPU for p2ptool --status, read without writing.
#pragma once

#include <string>

#include "tool/status.h"

// What the GPU's memory window and peer configuration file hold, and its driver.
GuestGpu guestGpu(const std::string& bdf);
