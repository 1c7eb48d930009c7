// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <map>
#include <string>

#include <json/value.h>

// Where a threshold alarm ends, as the device's own settings give it: the host needs it because
// the device forgets its alarm states at a restart, and its first report after one only says
// whether the value reached the limit.
struct AlarmRecovery {
  bool upper = true;  // ends at or below `recover`; a lower limit's at or above
  float recover = 0;
  std::string member;   // the thresholdSetting member the rule is in: "temperature"
  bool second = false;  // the second upper or lower limit
};

// The recover value of each threshold alarm of `settings` (thresholdSetting), by alarm id.
std::map<std::string, AlarmRecovery> AlarmRecoveries(const Json::Value& settings);
// Whether `valueText` (as the device reports it) has passed the recover value.
bool PastRecover(const AlarmRecovery& rule, const std::string& valueText);
