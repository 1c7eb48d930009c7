// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "host/SMDVDevice.h"

namespace unidata {

// The three report tests of an analog value against its last report. The absolute and percent
// bounds are computed in single precision, in the order written, and compared strictly.

inline bool AbsoluteChangeDue(const SMDVDevice::BAOSetting& s, float value) {
  const float last = s.lastReportValue;
  return value > last + s.absThreshold || value < last - s.absThreshold;
}

inline bool PercentChangeDue(const SMDVDevice::BAOSetting& s, float value) {
  const float last = s.lastReportValue;
  const float p = s.percentThreshold;
  const float upperBound = (p + 100.0f) * last / 100.0f;
  const float lowerBound = (100.0f - p) * last / 100.0f;
  return value > upperBound || value < lowerBound;
}

// Due when more than periodMinutes * 60 seconds have passed since the last report. The elapsed
// time is an exact count of seconds and the period is widened to double (exact for every
// float times 60), so the test holds to the second at any date. A NaN or +infinite period never
// runs out, whatever the clock does; a negative one always has. With any other period a clock
// set back before the last report makes the report due, so that a time stamp left in the future
// cannot hold the periodic report back until the clock catches up.
inline bool PeriodDue(int64_t now, uint32_t lastReportTime, float periodMinutes) {
  if (std::isnan(periodMinutes) || periodMinutes == std::numeric_limits<float>::infinity()) {
    return false;
  }
  const int64_t elapsed = now - static_cast<int64_t>(lastReportTime);
  if (elapsed < 0) return true;
  return static_cast<double>(elapsed) > static_cast<double>(periodMinutes) * 60.0;
}

inline bool ReportDue(const SMDVDevice::BAOSetting& s, float value, int64_t now) {
  const bool percent = s.percentEnable && PercentChangeDue(s, value);
  const bool absolute = s.absEnable && AbsoluteChangeDue(s, value);
  const bool period = s.periodEnable && PeriodDue(now, s.lastReportTime, s.periodMinutes);
  return percent || absolute || period;
}

}  // namespace unidata
