// The meta/ part of a snapshot: what the tool made of the machine and where
// it ran. status.json (p2ptool -s --json, made in this process),
// lspci-tvnn.txt, lspci-vvv.txt (lspci -D -vvv -s of each gathered function), cmdline,
// kernel-release, version, collected (the time; SOURCE_DATE_EPOCH, when set,
// stands for it, and for the time of the check in status.json), hostname (only when asked) and
// not-collected (what could not be read, one line each; added last).
#pragma once

#include <time.h>

#include <optional>
#include <string>
#include <vector>

#include "tool/collect/snapshot.h"

// `keep_hostname`: meta/hostname, and "hostname" in status.json.
void gatherMeta(Snapshot& snapshot, const std::vector<std::string>& functions, bool keep_hostname);
void addNotCollected(Snapshot& snapshot);

// `lspci -vvv` output with the serial numbers blanked: Device Serial Number
// as the archive's zeroed configuration space reads, and a serial number of
// Vital Product Data as "(not collected)".
std::string withoutSerialNumbers(const std::string& text);

// The seconds SOURCE_DATE_EPOCH gives when it is a number of them; nothing
// when it is unset or anything else.
std::optional<time_t> sourceDateEpoch(const char* source_date_epoch);

// "YYYY-MM-DDThh:mm:ssZ" of SOURCE_DATE_EPOCH when it is a number of seconds,
// else of `now`.
std::string collectionTime(const char* source_date_epoch, time_t now);

// The JSON report as p2ptool -s --json gives it; without the header's
// "hostname" unless `keep_hostname`.
std::string statusDocument(bool keep_hostname);
