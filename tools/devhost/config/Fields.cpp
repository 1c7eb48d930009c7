// SPDX-License-Identifier: Apache-2.0
#include "config/Fields.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include <json/writer.h>

#include "config/HostConfig.h"

namespace {

// Plain decimal text: an optional sign, digits and, where fractions are taken, a point and
// digits. No spaces, exponents, hexadecimal or units.
bool IsPlainDecimal(const std::string& text, bool fraction) {
  std::size_t at = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
  const auto digits = [&text, &at] {
    const std::size_t from = at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    return at > from;
  };
  if (!digits()) return false;
  if (fraction && at < text.size() && text[at] == '.') {
    ++at;
    if (!digits()) return false;
  }
  return at == text.size();
}

// Configurations written by other tools often quote their numbers ("9600"); decimal text is
// taken as the number it spells, as the device settings take it.
std::optional<long long> WholeFromText(const std::string& text) {
  if (!IsPlainDecimal(text, false)) return std::nullopt;
  // Saturates far out of range, where the range check then names the member.
  return std::strtoll(text.c_str(), nullptr, 10);
}

std::optional<double> DecimalFromText(const std::string& text) {
  if (!IsPlainDecimal(text, true)) return std::nullopt;
  // from_chars reads a point whatever the locale, and takes no '+'.
  const char* first = text.data() + (text[0] == '+' ? 1 : 0);
  double value = 0;
  const auto result =
      std::from_chars(first, text.data() + text.size(), value, std::chars_format::fixed);
  if (result.ec != std::errc()) return std::nullopt;
  return value;
}

// The text as JSON writes it, quoted and escaped, so that a message stays on one line.
std::string Quoted(const std::string& text) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, Json::Value(text));
}

std::string NotAString(const std::string& accepted, const std::string& text) {
  return "must be " + accepted + ", as a number, not a string " + Quoted(text);
}

}  // namespace

void Fields::Fail(const std::string& member, const std::string& problem) const {
  throw ConfigError(where_ + member + ": " + problem);
}

long long Fields::Whole(const std::string& member, const std::string& accepted) const {
  const Json::Value& value = object_[member];
  if (value.isString()) {
    const auto number = WholeFromText(value.asString());
    if (!number) Fail(member, NotAString(accepted, value.asString()));
    return *number;
  }
  if (!value.isInt64()) Fail(member, "must be " + accepted);
  return value.asInt64();
}

long long Fields::Integer(const std::string& member, long long low, long long high,
                          long long fallback) const {
  if (!Has(member)) return fallback;
  const std::string accepted =
      "a whole number from " + std::to_string(low) + " to " + std::to_string(high);
  const long long value = Whole(member, accepted);
  if (value < low || value > high) Fail(member, "must be " + accepted);
  return value;
}

std::string Fields::Text(const std::string& member, bool required) const {
  if (!Has(member)) {
    if (required) Fail(member, "is missing");
    return {};
  }
  if (!object_[member].isString() || object_[member].asString().empty()) {
    Fail(member, "must be a non-empty string");
  }
  return object_[member].asString();
}

std::string Fields::PathText(const std::string& member, bool required) const {
  const std::string text = Text(member, required);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7f) {
      char code[8];
      std::snprintf(code, sizeof code, "\\u%04x", byte);
      Fail(member, "must not hold a control character (" + std::string(code) + " at byte " +
                       std::to_string(i) + ")");
    }
  }
  return text;
}

std::optional<float> Fields::Number(const std::string& member) const {
  if (!Has(member)) return std::nullopt;
  const std::string accepted = "a number not below 0";
  const Json::Value& value = object_[member];
  std::optional<double> number;
  if (value.isString()) {
    number = DecimalFromText(value.asString());
    if (!number) Fail(member, NotAString(accepted, value.asString()));
  } else if (value.isNumeric()) {
    number = value.asDouble();
  }
  if (!number || *number < 0) Fail(member, "must be " + accepted);
  return static_cast<float>(*number);
}

bool Fields::Flag(const std::string& member) const {
  if (!Has(member)) return false;
  if (!Get(member).isBool()) Fail(member, "must be true or false");
  return Get(member).asBool();
}

void RequireObject(const Json::Value& value, const std::string& where) {
  if (!value.isObject()) throw ConfigError(where + ": must be an object");
}
