// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>

#include <json/value.h>

#include "host/EnumParity.h"

// The serial line and Modbus settings of one device, as the controller needs them to open its
// port and address its requests.
struct BusSettings {
  int32_t baudRate = 9600;
  EnumParity parity = PARITY_NONE;
  int32_t dataBits = 8;
  int32_t stopBits = 1;
  int32_t slaveAddress = 1;
  int32_t responseTimeoutMs = 500;
  std::string port;
};

// Reads the object "busSetting" of a device's settings over `bus`. Members that are absent keep
// the values `bus` holds. On a value that makes no sense it returns false with a one-line
// description in `error` and leaves `bus` untouched, so that a bad document changes nothing.
bool ReadBusSettings(const Json::Value& settings, BusSettings& bus, std::string& error);
