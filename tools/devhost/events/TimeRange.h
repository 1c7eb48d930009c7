// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <ctime>
#include <optional>
#include <string>

#include "events/TimeText.h"

// A span of stored time: `since` inclusive, `until` exclusive, each in the store's own text
// ("YYYY-MM-DD HH:MM:SS", UTC, events/TimeText.h); an empty bound leaves that side open. The store
// keeps that text because it sorts as time does, so a range is a plain comparison an index serves.
struct TimeRange {
  std::string since;
  std::string until;
};

// A bound as a person writes it: ISO 8601 local time ("2026-12-08T01:49:28", the "T" may be a
// space, seconds or the whole time of day may be left out) or a span back from `now` ("90s",
// "30m", "2h", "7d", "2w"); "now" is `now`. Nothing for any other text.
std::optional<std::string> ParseTimeBound(const std::string& text, std::time_t now);
// Seconds of the store's text counted on a plain calendar, without time zone or daylight saving:
// spacing for plots and gaps. Nothing when the text is not the store's format.
std::optional<long long> CalendarSeconds(const std::string& text);
// The store's text of a count of CalendarSeconds.
std::string CalendarText(long long seconds);
