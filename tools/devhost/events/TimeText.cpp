// SPDX-License-Identifier: Apache-2.0
#include "events/TimeText.h"

#include <atomic>
#include <utility>

namespace {

std::atomic<bool> storeTextLocal{false};

std::string Text(const std::tm& fields, const char* format) {
  char text[32];
  std::strftime(text, sizeof text, format, &fields);
  return text;
}

std::string LocalText(std::time_t time, const char* format) {
  std::tm local{};
  localtime_r(&time, &local);
  return Text(local, format);
}

std::string StoreText(std::time_t time) {
  if (storeTextLocal) return LocalText(time, "%Y-%m-%d %H:%M:%S");
  std::tm utc{};
  gmtime_r(&time, &utc);
  return Text(utc, "%Y-%m-%d %H:%M:%S");
}

}  // namespace

std::string StoreTimeText(std::time_t time) {
  // A cycle stores several rows in the same second: each second is formatted once per thread.
  thread_local std::time_t formattedAt = -1;
  thread_local bool formattedLocal = false;
  thread_local std::string text;
  if (time != formattedAt || formattedLocal != storeTextLocal) {
    text = StoreText(time);
    formattedAt = time;
    formattedLocal = storeTextLocal;
  }
  return text;
}

std::optional<std::time_t> StoreTextTime(const std::string& text) {
  std::tm fields{};
  const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &fields);
  if (end == nullptr || *end != '\0') return std::nullopt;
  if (!storeTextLocal) return timegm(&fields);
  return LocalFieldsTime(fields);
}

std::vector<std::time_t> LocalFieldsTimes(const std::tm& fields) {
  // The readings with and without daylight saving that give these fields back.
  std::vector<std::time_t> times;
  for (const int dst : {1, 0}) {
    std::tm tried = fields;
    tried.tm_isdst = dst;
    const std::time_t time = std::mktime(&tried);
    std::tm back{};
    localtime_r(&time, &back);
    const bool same = back.tm_year == fields.tm_year && back.tm_mon == fields.tm_mon &&
                      back.tm_mday == fields.tm_mday && back.tm_hour == fields.tm_hour &&
                      back.tm_min == fields.tm_min && back.tm_sec == fields.tm_sec;
    if (same && (times.empty() || times.front() != time)) times.push_back(time);
  }
  if (times.size() == 2 && times[1] < times[0]) std::swap(times[0], times[1]);
  return times;
}

std::time_t LocalFieldsTime(std::tm fields) {
  // In the hour that repeats when the clock goes back, the first.
  const auto times = LocalFieldsTimes(fields);
  if (!times.empty()) return times.front();
  // A time the clock skips in spring: as the zone's rules read it.
  fields.tm_isdst = -1;
  return std::mktime(&fields);
}

std::string IsoTimeText(std::time_t time) { return LocalText(time, "%Y-%m-%dT%H:%M:%S"); }

std::string ClockText(std::time_t time) { return LocalText(time, "%H:%M:%S"); }

std::string IsoFromStoreText(const std::string& text) {
  if (!storeTextLocal) {
    if (const auto time = StoreTextTime(text)) return IsoTimeText(*time);
  }
  std::string iso = text;
  if (iso.size() > 10 && iso[10] == ' ') iso[10] = 'T';
  return iso;
}

std::string IsoInstantFromStoreText(const std::string& text) {
  const auto time = StoreTextTime(text);
  if (!time) return IsoFromStoreText(text);
  // strftime's %z is "+0200"; ISO 8601's extended form has "+02:00".
  std::string offset = LocalText(*time, "%z");
  if (offset.size() == 5) offset.insert(3, ":");
  return IsoTimeText(*time) + offset;
}

std::string PeopleTimeFromStoreText(const std::string& text) {
  const auto time = StoreTextTime(text);
  if (!time) return IsoFromStoreText(text);
  std::tm local{};
  localtime_r(&*time, &local);
  if (LocalFieldsTimes(local).size() < 2) return IsoTimeText(*time);
  return IsoTimeText(*time) + " " + Text(local, "%Z");
}

void SetStoreTextLocal(bool local) { storeTextLocal = local; }

bool StoreTextIsLocal() { return storeTextLocal; }
