// SPDX-License-Identifier: Apache-2.0
#include "host/TTime.h"

TTime get_ttime(const boost::posix_time::ptime& time) {
  TTime out{};
  if (time.is_special()) return out;
  const auto date = time.date();
  const auto clock = time.time_of_day();
  out.year = static_cast<uint16_t>(date.year());
  out.month = static_cast<uint8_t>(date.month().as_number());
  out.day = static_cast<uint8_t>(date.day());
  out.hour = static_cast<uint8_t>(clock.hours());
  out.minute = static_cast<uint8_t>(clock.minutes());
  out.second = static_cast<uint8_t>(clock.seconds());
  return out;
}
