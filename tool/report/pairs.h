// The pairs of the host view: for every two host GPUs where their paths meet
// (topology.h), how they connect and what keeps peer-to-peer between them
// from working. Part of the host collector (host.cc); reads only through
// `readPort`.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tool/report/model.h"

using PortReader = std::function<PortStatus(const std::string& port)>;

// Every pair of host.gpus (placed, with tables, tenants and the default
// mode's ports filled in), `paths` their device paths.
std::vector<PairStatus> pairStatus(const HostStatus& host,
                                   const std::map<std::string, std::filesystem::path>& paths,
                                   const PortReader& readPort);

// Adds to each group the meeting ports of its pairs that redirect or cannot be
// read, and those to host.redir_ports.
void addMeetingPorts(HostStatus& host);
