// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "events/Event.h"

// A record as the store kept it: when, and its bytes.
struct StoredRecord {
  std::string time;  // store text
  std::vector<unsigned char> record;
};

// What the store knew of a device when the host started, handed to its line as values.
struct RestoredState {
  std::map<std::string, AlarmEvent> alarms;  // the last change of each alarm
  std::optional<StoredRecord> record;
  std::string failure;  // the store could not be read: why (what was read before is kept)
};

using RestoredStates = std::map<uint32_t, RestoredState>;  // by data id
