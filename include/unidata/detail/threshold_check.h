// SPDX-License-Identifier: Apache-2.0
#pragma once
// Hysteresis evaluation of one threshold table against the status document.

#include <string>
#include <tuple>

#include "host/SMDVDevice.h"
#include "unidata/float_text.h"
#include "unidata/json_number.h"

namespace unidata {

// Alarm state of one rule after a value has been seen. An alarm is raised at the limit itself
// and ends at the recover value itself; in between it keeps the state it had. All comparisons
// are in single precision, as the limits are held.
inline bool NextAlarmState(bool active, bool upper, float value, float limit, float recover) {
  if (!active) return upper ? value >= limit : value <= limit;
  return upper ? !(value <= recover) : !(value >= recover);
}

// "当前值23.5高于阈值:30": the current value, the side of the limit, the limit.
inline std::string AlarmText(float value, bool upper, float limit) {
  return "当前值" + FloatText(value) + (upper ? "高于阈值:" : "低于阈值:") + FloatText(limit);
}

}  // namespace unidata

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::CheckSignalThresholdMap(ThresholdMap& rules,
                                                                    bool upper) {
  // A document that is not (yet) an object has no members to compare.
  if (!jsonData_.isObject()) return;
  for (auto& [signalName, rule] : rules) {
    // Non-inserting look-up: a rule for a signal the document lacks must not add it.
    const Json::Value* member =
        jsonData_.find(signalName.data(), signalName.data() + signalName.size());
    if (member == nullptr || !member->isNumeric()) continue;
    const float value = unidata::JsonFloat(*member);
    const float limit = std::get<1>(rule);
    bool& active = std::get<3>(rule);
    active = unidata::NextAlarmState(active, upper, value, limit, std::get<2>(rule));
    const std::string alarmText = active ? unidata::AlarmText(value, upper, limit) : std::string();
    this->SMDVDevice::CheckThresholdBool(std::get<4>(rule), signalName, std::get<0>(rule),
                                         unidata::FloatText(value), alarmText, active, 1);
  }
}
