// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include <json/value.h>

// Members of the configuration the host does not know are kept working (older and newer
// configurations load), but each is named once so that a misspelt "baudrate" is not silently
// the default. Appends "lines[0].baudrate: unknown member, ignored" lines to `warnings`.
void WarnUnknownMembers(const Json::Value& root, std::vector<std::string>& warnings);
// Every member the host knows, as a path: "database", "lines[].baudRate",
// "lines[].devices[].reports.SIGNAL.absThreshold", "mqtt.host".
std::vector<std::string> KnownMemberPaths();
