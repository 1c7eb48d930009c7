// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include <json/value.h>

#include "events/Event.h"

// What a one-shot command (status, write, alarms) came to: its events and its exit status. The
// same result is printed whether the command ran here or in a running host that answered it
// through its control socket.
struct CommandResult {
  std::string command;
  int exitStatus = 0;
  std::vector<HostEvent> events;

  // The lines a person reads, each with its time of day.
  std::string Text() const;
  // One JSON document: {"command": ..., "exit_code": N, "events": [...]}.
  Json::Value Document() const;
};

// The document as one pretty-printed JSON text, for --json.
std::string DocumentText(const Json::Value& document);
