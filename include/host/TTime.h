// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/host_api.h"

#pragma pack(push, 1)
// Seven-byte local date-time as it is stored in device records: full calendar year, month 1-12,
// day 1-31, hour, minute, second.
struct TTime {
  uint16_t year;
  uint8_t month;
  uint8_t day;
  uint8_t hour;
  uint8_t minute;
  uint8_t second;
};
#pragma pack(pop)
static_assert(sizeof(TTime) == 7, "TTime is stored as seven packed bytes");

// Converts a time to its record form; a special value (not-a-date-time, infinities) gives all
// zero fields.
HOST_API TTime get_ttime(const boost::posix_time::ptime& time);
