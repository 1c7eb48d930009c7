// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <json/value.h>

#include "cli/CommandLine.h"

// The members of the device commands' requests besides their name, as a running host takes them
// on its control socket (control/RequestHandler.cpp). A command that names a device the
// configuration lacks is refused here with ConfigError, whoever would answer it.

// The request of a command on device line.dataId: {"data_id": N}, for the command's own members
// to be added to.
Json::Value OneDeviceRequest(const CommandLine& line, const HostConfig& config);
// status, alarms: of every device, with no members besides the command's name.
Json::Value EveryDeviceRequest(const CommandLine& line, const HostConfig& config);
Json::Value WriteRequest(const CommandLine& line, const HostConfig& config);
// readdress, rebaud.
Json::Value ChangeRequest(const CommandLine& line, const HostConfig& config);

// After a verified readdress or rebaud the configuration still names the old setting: adds to
// the answer which member to change, or changes it (--update-config); the exit status.
int FollowInConfig(Json::Value& answer, const HostConfig& config, const CommandLine& line);
