// The guest view of one GPU for p2ptool --status, read without writing.
#pragma once

#include <optional>
#include <string>

#include "common/device/pass_record.h"
#include "tool/status.h"

// p2pwatch's record of its last pass, as the report read it.
struct RecordRead {
  std::optional<PassRecord> record;
  int error = 0;  // when there is none: errno of the failed open (ENOENT: missing), else 0
};
RecordRead readRecord();

// What the GPU's memory window and peer configuration file hold, its driver
// and minor, and what p2pwatch's record says of it.
GuestGpu guestGpu(const std::string& bdf, const RecordRead& read);
