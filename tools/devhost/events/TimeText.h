// SPDX-License-Identifier: Apache-2.0
#pragma once
// Every time a person or a file sees, written in one place: the store's column text, ISO 8601
// for JSON, CSV and MQTT, the clock on console lines. All local time.

#include <ctime>
#include <string>

// "2026-12-06 09:05:03": the store's time column; it sorts as time does.
std::string StoreTimeText(std::time_t time);
// "2026-12-06T09:05:03".
std::string IsoTimeText(std::time_t time);
// "09:05:03".
std::string ClockText(std::time_t time);
// The store's text as ISO 8601 ("2026-12-08T01:49:28").
std::string IsoFromStoreText(const std::string& text);
