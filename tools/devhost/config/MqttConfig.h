// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

#include <json/value.h>

#include "config/HostConfig.h"

// The configuration's "mqtt" object; relative file names are taken from `base` and the files
// are not read. Throws ConfigError naming the member that is wrong.
MqttConfig ParseMqtt(const Json::Value& value, const std::string& base);
// What only the running host reads, before it starts anything: the password (the first line of
// passwordFile) and the TLS files, checked as the TLS library will read them. A secret (password
// or key file) that others may read is refused. ConfigError naming the file and the member.
// A client certificate outside its validity dates is not refused (the clock of a board may be
// what is wrong), nor a secret the control socket's group may read (its operators'): each is
// said among the configuration's warnings.
void LoadMqttFiles(HostConfig& config);
// The same checks again, and the certificate's dates: libmosquitto reads the files anew at each
// reconnect, and they may have been replaced meanwhile. What is wrong; nothing when all is well.
std::optional<std::string> TlsFilesProblem(const MqttConfig& mqtt);
