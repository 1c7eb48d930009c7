// SPDX-License-Identifier: Apache-2.0
#include "service/CommandResult.h"

#include <json/writer.h>

#include "events/Console.h"
#include "events/EventFormat.h"

std::string CommandResult::Text() const {
  std::string text;
  for (const HostEvent& event : events) text += TimedLines(event);
  return text;
}

Json::Value CommandResult::Document() const {
  Json::Value document(Json::objectValue);
  document["command"] = command;
  document["exit_code"] = exitStatus;
  document["events"] = Json::Value(Json::arrayValue);
  for (const HostEvent& event : events) {
    auto json = EventObject(event.body);
    if (!json) continue;
    (*json)["time"] = IsoTimeText(event.time);
    document["events"].append(*json);
  }
  return document;
}

std::string DocumentText(const Json::Value& document) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, document) + "\n";
}
