// SPDX-License-Identifier: Apache-2.0
#include "events/TimeRange.h"

#include <cctype>
#include <cstdio>

namespace {

bool Digits(const std::string& text, std::size_t at, std::size_t count, int& value) {
  if (at + count > text.size()) return false;
  value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    value = value * 10 + (text[i] - '0');
  }
  return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(int year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const long long era = (year >= 0 ? year : year - 399) / 400;
  const long long yearOfEra = year - era * 400;
  const long long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

struct Fields {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// "YYYY-MM-DD", then optionally "THH:MM" or " HH:MM", then optionally ":SS".
std::optional<Fields> ParseIso(const std::string& text) {
  Fields f;
  if (!Digits(text, 0, 4, f.year) || text.size() < 10 || text[4] != '-' ||
      !Digits(text, 5, 2, f.month) || text[7] != '-' || !Digits(text, 8, 2, f.day)) {
    return std::nullopt;
  }
  if (text.size() > 10) {
    if ((text[10] != 'T' && text[10] != ' ') || !Digits(text, 11, 2, f.hour) || text.size() < 16 ||
        text[13] != ':' || !Digits(text, 14, 2, f.minute)) {
      return std::nullopt;
    }
    if (text.size() > 16 &&
        (text.size() != 19 || text[16] != ':' || !Digits(text, 17, 2, f.second))) {
      return std::nullopt;
    }
  }
  if (f.month < 1 || f.month > 12 || f.day < 1 || f.day > DaysInMonth(f.year, f.month) ||
      f.hour > 23 || f.minute > 59 || f.second > 59) {
    return std::nullopt;
  }
  return f;
}

std::optional<long long> RelativeSeconds(const std::string& text) {
  if (text.size() < 2 || text.size() > 12) return std::nullopt;
  long long count = 0;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    count = count * 10 + (text[i] - '0');
  }
  switch (text.back()) {
    case 's':
      return count;
    case 'm':
      return count * 60;
    case 'h':
      return count * 3600;
    case 'd':
      return count * 86400;
    case 'w':
      return count * 7 * 86400;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> ParseTimeBound(const std::string& text, std::time_t now) {
  if (text == "now") return StoreTimeText(now);
  if (const auto seconds = RelativeSeconds(text)) {
    // Ten thousand years back is as far as the calendar text goes.
    if (*seconds > 315360000000LL) return std::nullopt;
    return StoreTimeText(now - static_cast<std::time_t>(*seconds));
  }
  const auto f = ParseIso(text);
  if (!f) return std::nullopt;
  // Local time as a person writes it, to the instant the store keeps.
  std::tm fields{};
  fields.tm_year = f->year - 1900;
  fields.tm_mon = f->month - 1;
  fields.tm_mday = f->day;
  fields.tm_hour = f->hour;
  fields.tm_min = f->minute;
  fields.tm_sec = f->second;
  return StoreTimeText(LocalFieldsTime(fields));
}

std::optional<long long> CalendarSeconds(const std::string& text) {
  if (text.size() != 19) return std::nullopt;
  const auto f = ParseIso(text);
  if (!f) return std::nullopt;
  return DaysFromCivil(f->year, f->month, f->day) * 86400 + f->hour * 3600 + f->minute * 60 +
         f->second;
}

std::string CalendarText(long long seconds) {
  long long days = seconds / 86400;
  long long rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Civil date of a day count (the inverse of DaysFromCivil).
  days += 719468;
  const long long era = (days >= 0 ? days : days - 146096) / 146097;
  const long long dayOfEra = days - era * 146097;
  const long long yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long long mp = (5 * dayOfYear + 2) / 153;
  const long long day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const long long month = mp < 10 ? mp + 3 : mp - 9;
  const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[128];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", year, month, day,
                rest / 3600, rest % 3600 / 60, rest % 60);
  return text;
}
