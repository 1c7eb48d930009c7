// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <json/value.h>

// Sends one request to the host that listens at `path` and returns its answer; nothing when no
// host listens there (no socket, or one a killed host left behind). ControlError when a host
// took the request but its answer did not come whole within `limit`, or when the host is not to
// be believed (DistrustReason; `group` is the configuration's controlSocketGroup).
std::optional<Json::Value> AskRunningHost(const std::string& path, const Json::Value& request,
                                          std::chrono::seconds limit,
                                          std::optional<unsigned> group = {});
