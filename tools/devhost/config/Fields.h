// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <optional>
#include <string>

#include <json/value.h>

// Reads members of one JSON object of the host configuration and says exactly where a value is
// wrong: every failure is a ConfigError naming the member's place ("lines[0].baudRate: ...").
class Fields {
 public:
  Fields(const Json::Value& object, std::string where)
      : object_(object), where_(std::move(where)) {}

  [[noreturn]] void Fail(const std::string& member, const std::string& problem) const;
  bool Has(const std::string& member) const {
    return object_.isMember(member) && !object_[member].isNull();
  }
  const Json::Value& Get(const std::string& member) const { return object_[member]; }
  const std::string& Where() const { return where_; }

  // A whole number, written as a number or as decimal text; `accepted` says what the member
  // takes, for the message.
  long long Whole(const std::string& member, const std::string& accepted) const;
  // A whole number from `low` to `high`; `fallback` when the member is not there.
  long long Integer(const std::string& member, long long low, long long high,
                    long long fallback) const;
  // A non-empty string; empty when the member is not there and not `required`.
  std::string Text(const std::string& member, bool required) const;
  // A path: a Text with no control character (a NUL would cut it short where the system reads
  // it, a newline would forge log lines).
  std::string PathText(const std::string& member, bool required) const;
  // A number not below 0, written as a number or as decimal text ("0.5").
  std::optional<float> Number(const std::string& member) const;
  // true or false; false when the member is not there.
  bool Flag(const std::string& member) const;

 private:
  const Json::Value& object_;
  std::string where_;
};

void RequireObject(const Json::Value& value, const std::string& where);
