// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

namespace unidata {

// The alarm identifier that belongs to a signal identifier: the same text with position 3 set
// to '6' and position 8 set to '1' (counted from 0), where the identifier reaches that far.
inline std::string AlarmIdOf(const std::string& signalId) {
  std::string alarmId = signalId;
  if (alarmId.size() > 3) alarmId[3] = '6';
  if (alarmId.size() > 8) alarmId[8] = '1';
  return alarmId;
}

}  // namespace unidata
