// SPDX-License-Identifier: Apache-2.0
#include "line/AlarmRecovery.h"

#include <cstdlib>

namespace {

struct Limit {
  const char* value;
  const char* recover;
  const char* level;
  const char* code;
  bool upper;
};

const Limit kLimits[] = {{"UpValue", "UpReconverValue", "UpAlarmLevel", "001", true},
                         {"Up2Value", "Up2ReconverValue", "Up2AlarmLevel", "002", true},
                         {"LowValue", "LowReconverValue", "LowAlarmLevel", "003", false},
                         {"Low2Value", "Low2ReconverValue", "Low2AlarmLevel", "004", false}};

// The member's text, as the device reads it; empty when it has none.
std::string TextOf(const Json::Value& rule, const char* key) {
  const Json::Value& member = rule.isObject() ? rule[key] : Json::Value::nullSingleton();
  return member.isString() || member.isNumeric() ? member.asString() : std::string();
}

}  // namespace

std::map<std::string, AlarmRecovery> AlarmRecoveries(const Json::Value& settings) {
  std::map<std::string, AlarmRecovery> rules;
  if (!settings.isObject() || !settings["thresholdSetting"].isObject()) return rules;
  const Json::Value& table = settings["thresholdSetting"];
  for (auto member = table.begin(); member != table.end(); ++member) {
    const Json::Value& rule = *member;
    const std::string id = TextOf(rule, "ID");
    if (id.empty() || TextOf(rule, "SignalName").empty()) continue;
    for (const Limit& limit : kLimits) {
      const std::string recover = TextOf(rule, limit.recover);
      if (TextOf(rule, limit.value).empty() || recover.empty() ||
          TextOf(rule, limit.level).empty()) {
        continue;
      }
      rules[id + limit.code] = {limit.upper, std::strtof(recover.c_str(), nullptr), member.name(),
                                limit.code[2] == '2' || limit.code[2] == '4'};
    }
  }
  return rules;
}

bool PastRecover(const AlarmRecovery& rule, const std::string& valueText) {
  char* end = nullptr;
  const float value = std::strtof(valueText.c_str(), &end);
  // A value that cannot be read has passed nothing.
  if (end == valueText.c_str()) return false;
  return rule.upper ? value <= rule.recover : value >= rule.recover;
}
