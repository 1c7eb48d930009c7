// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

// One rule value of a cycle's batch threshold check. The host fills the batch; a device only
// counts it, hands it to DoBatchCheckThreshold and empties it.
struct rule_value {
  std::string alarmId;
  std::string signalName;
  float value = 0.0f;
  int level = 0;
  bool active = false;
};
