// SPDX-License-Identifier: Apache-2.0
#pragma once
// How events read: one text line for people, one JSON object for programs. The console, the
// command results and the control socket's answers all use these, so they always agree.

#include <ctime>
#include <optional>
#include <string>

#include <json/value.h>

#include "events/Event.h"
#include "events/TimeText.h"

// The text line of an event, without its time; nothing for events only a store keeps.
std::optional<std::string> EventLine(const EventBody& event);
// The JSON object of an event, without its time; nothing for events only a store keeps.
std::optional<Json::Value> EventObject(const EventBody& event);
// The level a console shows the event at (events/LogLevel.h).
LogLevel EventLevel(const EventBody& event);
// Status documents carry the device's figures to every digit; other events need ten.
bool NeedsExactNumbers(const EventBody& event);

// A field's value in JSON: a whole field as an integer, else the decimal as it is.
// "link     12    still lost for 2 h: 7200 failed cycles": the hourly reminder of a lost link.
std::string LinkStillLostText(uint32_t dataId, long hours, unsigned long failedCycles);
// "mqtt     12    40 message(s) dropped while the broker was away, ...": said at the reconnect.
std::string MqttDroppedText(uint32_t dataId, unsigned long dropped, int queueLimit);
Json::Value FieldJson(const RecordField& field, double value);

// A JSON value as one compact line, UTF-8 kept as it is; `exact`: doubles with every digit,
// else to 10 significant digits, enough for values in tenths.
std::string CompactJson(const Json::Value& value, bool exact = true);
