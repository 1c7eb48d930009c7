// SPDX-License-Identifier: Apache-2.0
#pragma once
// Every time a person or a file sees, written in one place: the store's column text, ISO 8601
// for JSON, CSV and MQTT, the clock on console lines.
//
// The store keeps UTC ("2026-12-06 08:05:03"): one text is one instant, whatever the zone the
// host or a reader runs in and across daylight saving. People see local time. A database from
// before (its rows in the writer's local time, without an offset) is converted to UTC once by
// the first host that opens it (StoreSchema); a reader that meets one not converted yet reads it
// as local time, as it was written (SetStoreTextLocal).

#include <ctime>
#include <optional>
#include <string>
#include <vector>

// "2026-12-06 08:05:03": the store's time column, UTC; it sorts as time does.
std::string StoreTimeText(std::time_t time);
// The instant of a store text; nothing when it is not one.
std::optional<std::time_t> StoreTextTime(const std::string& text);
// The instant of local calendar fields (those of a bound a person wrote).
std::time_t LocalFieldsTime(std::tm fields);
// Every instant local calendar fields may be: two in the hour that repeats when the clock goes
// back (the earlier first), none in the hour it skips in spring, else one.
std::vector<std::time_t> LocalFieldsTimes(const std::tm& fields);
// "2026-12-06T09:05:03", local time.
std::string IsoTimeText(std::time_t time);
// "09:05:03", local time.
std::string ClockText(std::time_t time);
// The store's text as ISO 8601 local time ("2026-12-08T01:49:28").
std::string IsoFromStoreText(const std::string& text);
// "2026-10-25T02:59:40+02:00": the store's text as local time with its offset from UTC, one
// instant in any zone and in the hour that repeats in autumn (CSV, JSON).
std::string IsoInstantFromStoreText(const std::string& text);
// IsoFromStoreText, with the zone's name in the hour that repeats when the clock goes back
// ("2026-10-25T02:14:00 CET"), where the time alone could be either (tables for people).
std::string PeopleTimeFromStoreText(const std::string& text);
// Whether the store's texts are local time (a database not converted yet) for this process.
void SetStoreTextLocal(bool local);
bool StoreTextIsLocal();
