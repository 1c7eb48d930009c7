#pragma once

#include <string>

#include <json/value.h>

#include "config/HostConfig.h"

// The configuration's "mqtt" object; relative file names are taken from `base`. Throws
// ConfigError naming the member that is wrong.
MqttConfig ParseMqtt(const Json::Value& value, const std::string& base);
