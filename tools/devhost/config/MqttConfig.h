// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>

#include <json/value.h>

#include "config/HostConfig.h"

// The configuration's "mqtt" object; relative file names are taken from `base` and the files
// are not read. Throws ConfigError naming the member that is wrong.
MqttConfig ParseMqtt(const Json::Value& value, const std::string& base);
// What only the running host reads, before it starts anything: the password (the first line of
// passwordFile) and the TLS files, checked as the TLS library will read them. A secret (password
// or key file) that others may read is refused. ConfigError naming the file and the member.
void LoadMqttFiles(HostConfig& config);
