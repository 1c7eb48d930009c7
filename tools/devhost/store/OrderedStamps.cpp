// SPDX-License-Identifier: Apache-2.0
#include "store/OrderedStamps.h"

#include "events/TimeText.h"

namespace {

// Rows of several lines are stamped a little out of order.
constexpr std::time_t kJitter = 60;
constexpr std::time_t kHour = 3600;

}  // namespace

std::string OrderedStamps::ToUtc(const std::string& text) {
  std::tm fields{};
  const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &fields);
  if (end == nullptr || *end != '\0' || text.size() != 19) return text;
  const auto times = LocalFieldsTimes(fields);
  std::time_t time = times.empty() ? LocalFieldsTime(fields) : times.front();
  if (times.size() == 2) {
    if (last_ && times[0] < *last_ - kJitter) time = times[1];
    repeated_.emplace(StoreTimeText(times[0] - times[0] % kHour),
                      StoreTimeText(times[1] - times[1] % kHour + kHour));
  }
  last_ = time;
  return StoreTimeText(time);
}
