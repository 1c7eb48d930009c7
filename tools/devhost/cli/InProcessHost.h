// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <json/value.h>

#include "cli/Subcommand.h"
#include "config/HostConfig.h"

// Answers a device command's request when no host runs on the configuration: a host started
// here (restored, its lines on their threads as in run, but no control socket, no MQTT and no
// console; polled only as `command.start` and the request ask) hands the request to the handler
// a running host uses, then stops. Throws what starting the host throws, and what the handler
// throws for a request it cannot answer.
CommandResult AnswerInProcess(const HostConfig& config, const Json::Value& request,
                              const DeviceCommand& command);
