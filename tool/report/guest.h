// The guest view of one GPU for p2ptool --status, read without writing.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/device/pass_record.h"
#include "tool/report/model.h"
#include "tool/window_table.h"

// What the GPU's memory window (`table`) and peer configuration file hold, its
// driver and minor, and what p2pwatch's record (as read once for all GPUs)
// says of it.
GuestGpu guestGpu(const std::string& bdf, const WindowTable& table, const PassRecordRead& read);

// Names, in each GPU's conflicts, what it shares with others as p2pwatch
// judges it (guest_claims.h): a minor, or the host GPU its peer file names.
void markConflicts(std::vector<GuestGpu>& gpus);
