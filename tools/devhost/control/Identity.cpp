// SPDX-License-Identifier: Apache-2.0
#include "control/Identity.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

std::string Resolved(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string Escaped(unsigned char byte) {
  char text[8];
  std::snprintf(text, sizeof text, "\\x%02X", byte);
  return text;
}

// The length of the valid UTF-8 sequence at `at`, 0 when it is not one.
std::size_t SequenceLength(const std::string& text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  if (lead >= 0xC2 && lead <= 0xDF) length = 2;
  if (lead >= 0xE0 && lead <= 0xEF) length = 3;
  if (lead >= 0xF0 && lead <= 0xF4) length = 4;
  if (length == 0 || at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
  }
  const auto second = static_cast<unsigned char>(text[at + 1]);
  // Overlong forms, surrogates and code points past U+10FFFF.
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
    return 0;
  }
  return length;
}

}  // namespace

Json::Value HostIdentity(const HostConfig& config) {
  Json::Value identity(Json::objectValue);
  identity["config"] = Resolved(config.path);
  identity["lines"] = Json::Value(Json::arrayValue);
  for (const LineConfig& line : config.lines) identity["lines"].append(line.device);
  return identity;
}

std::string IdentityText(const Json::Value& identity) {
  if (!identity.isObject() || !identity["config"].isString()) return "an unnamed configuration";
  std::string lines;
  if (identity["lines"].isArray()) {
    for (const Json::Value& line : identity["lines"]) {
      if (!line.isString()) continue;
      lines += (lines.empty() ? "" : ", ") + QuotedText(line.asString());
    }
  }
  return "configuration " + QuotedText(identity["config"].asString()) + " (lines " + lines + ")";
}

std::string QuotedText(const std::string& text) {
  std::string quoted;
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte >= 0x20 && byte < 0x7F) {
      quoted += text[at++];
    } else if (const std::size_t length = byte >= 0x80 ? SequenceLength(text, at) : 0) {
      quoted += text.substr(at, length);
      at += length;
    } else {
      quoted += Escaped(byte);
      ++at;
    }
  }
  return quoted;
}
