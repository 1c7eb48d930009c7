// SPDX-License-Identifier: Apache-2.0
#include "BusSettings.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <initializer_list>

#include <json/writer.h>

namespace {

constexpr std::initializer_list<int32_t> kBaudRates = {300,   600,   1200,  2400,   4800,  9600,
                                                       19200, 38400, 57600, 115200, 230400};

std::string Shown(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

// A whole number given as a JSON number or as a text of decimal digits (hosts often write
// numbers as strings). Booleans, fractions and trailing letters are not numbers.
bool ReadWholeNumber(const Json::Value& value, long long& out) {
  if (value.isString()) {
    const std::string text = value.asString();
    const std::size_t start = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
    if (text.size() == start ||
        !std::all_of(text.begin() + static_cast<std::ptrdiff_t>(start), text.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
      return false;
    }
    errno = 0;
    out = std::strtoll(text.c_str(), nullptr, 10);
    return errno == 0;
  }
  if (value.isBool() || !value.isInt64()) return false;
  out = value.asInt64();
  return true;
}

// Reads one whole-number member within [low, high]; an absent member keeps `target`.
bool ReadRange(const Json::Value& bus, const char* key, long long low, long long high,
               int32_t& target, std::string& error) {
  const Json::Value& value = bus[key];
  if (value.isNull()) return true;
  long long number = 0;
  if (!ReadWholeNumber(value, number) || number < low || number > high) {
    error = std::string("\"") + key + "\" must be a whole number from " + std::to_string(low) +
            " to " + std::to_string(high) + ", got " + Shown(value);
    return false;
  }
  target = static_cast<int32_t>(number);
  return true;
}

bool ReadBaudRate(const Json::Value& bus, int32_t& target, std::string& error) {
  const Json::Value& value = bus["baudRate"];
  if (value.isNull()) return true;
  long long number = 0;
  if (ReadWholeNumber(value, number) &&
      std::find(kBaudRates.begin(), kBaudRates.end(), number) != kBaudRates.end()) {
    target = static_cast<int32_t>(number);
    return true;
  }
  error = "\"baudRate\" must be one of";
  for (const int32_t rate : kBaudRates) error += " " + std::to_string(rate);
  error += ", got " + Shown(value);
  return false;
}

bool ReadParity(const Json::Value& bus, EnumParity& target, std::string& error) {
  const Json::Value& value = bus["parity"];
  if (value.isNull()) return true;
  std::string text = value.isString() ? value.asString() : std::string();
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (text == "none" || text == "n") {
    target = PARITY_NONE;
  } else if (text == "odd" || text == "o") {
    target = PARITY_ODD;
  } else if (text == "even" || text == "e") {
    target = PARITY_EVEN;
  } else {
    error = "\"parity\" must be \"none\", \"odd\" or \"even\", got " + Shown(value);
    return false;
  }
  return true;
}

bool ReadPort(const Json::Value& bus, std::string& target, std::string& error) {
  const Json::Value& value = bus["port"];
  if (value.isNull()) return true;
  if (!value.isString() || value.asString().empty()) {
    error = "\"port\" must be the path of a serial device, got " + Shown(value);
    return false;
  }
  target = value.asString();
  return true;
}

}  // namespace

bool ReadBusSettings(const Json::Value& settings, BusSettings& bus, std::string& error) {
  if (!settings.isObject()) return true;  // nothing for the bus in it
  const Json::Value& member = settings["busSetting"];
  if (member.isNull()) return true;
  if (!member.isObject()) {
    error = "\"busSetting\" must be an object, got " + Shown(member);
    return false;
  }
  BusSettings read = bus;
  const bool valid =
      ReadBaudRate(member, read.baudRate, error) && ReadParity(member, read.parity, error) &&
      ReadRange(member, "dataBits", 7, 8, read.dataBits, error) &&
      ReadRange(member, "stopBits", 1, 2, read.stopBits, error) &&
      ReadRange(member, "slaveAddress", 1, 247, read.slaveAddress, error) &&
      ReadRange(member, "responseTimeoutMs", 1, 60000, read.responseTimeoutMs, error) &&
      ReadPort(member, read.port, error);
  if (valid) bus = read;
  return valid;
}
