// SPDX-License-Identifier: Apache-2.0
#include "events/TimeText.h"

namespace {

std::string LocalText(std::time_t time, const char* format) {
  std::tm local{};
  localtime_r(&time, &local);
  char text[32];
  std::strftime(text, sizeof text, format, &local);
  return text;
}

}  // namespace

std::string StoreTimeText(std::time_t time) {
  // A cycle stores several rows in the same second: each second is formatted once per thread.
  thread_local std::time_t formattedAt = -1;
  thread_local std::string text;
  if (time != formattedAt) {
    text = LocalText(time, "%Y-%m-%d %H:%M:%S");
    formattedAt = time;
  }
  return text;
}

std::string IsoTimeText(std::time_t time) { return LocalText(time, "%Y-%m-%dT%H:%M:%S"); }

std::string ClockText(std::time_t time) { return LocalText(time, "%H:%M:%S"); }

std::string IsoFromStoreText(const std::string& text) {
  std::string iso = text;
  if (iso.size() > 10 && iso[10] == ' ') iso[10] = 'T';
  return iso;
}
