// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

// What differs between two readings of a configuration file, for a host asked to read it again
// (SIGHUP): the sinks' blocks and the devices' settings and reports, which a running host takes
// without dropping its lines, and the places of everything else, which take a restart.
struct ConfigChanges {
  std::vector<std::string> sinks;  // sink members whose block changed, added or went
  // (line index, device index) of the devices whose settings or reports changed
  std::vector<std::pair<std::size_t, std::size_t>> devices;
  std::vector<std::string> restart;  // "database", "lines[0].baudRate", "lines[0].devices"

  bool Empty() const { return sinks.empty() && devices.empty() && restart.empty(); }
};

// Compares two configuration documents member by member; `sinkMembers` names the sinks' blocks.
ConfigChanges CompareConfigurations(const Json::Value& before, const Json::Value& now,
                                    const std::set<std::string>& sinkMembers);
