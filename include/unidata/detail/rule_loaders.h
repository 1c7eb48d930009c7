// SPDX-License-Identifier: Apache-2.0
#pragma once
// Loaders that fill the alarm and threshold tables of UniDataDevice.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <locale>
#include <string>
#include <utility>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

namespace unidata_config {

// The member of an object, or null for any other kind of value: settings written by people may
// put a scalar or an array where an object belongs, and the JSON library throws on those.
inline const Json::Value& MemberOf(const Json::Value& value, const char* key) {
  if (!value.isObject()) return Json::Value::nullSingleton();
  return value[key];
}

// strtol with base 10, kept within 32 bits so that the result is the same on the 32-bit
// controller and on a 64-bit workstation.
inline int32_t TextToInt32(const std::string& text) {
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

// strtod narrowed to single precision as IEEE rounding narrows it, without the undefined
// conversion of an out-of-range double: up to half a unit in the last place above the largest
// float a value still rounds to the largest float ("3.4028235e38" is the largest float written
// with 8 digits); from there on it becomes an infinity of its sign.
inline float TextToFloat(const std::string& text) {
  const double value = std::strtod(text.c_str(), nullptr);
  if (std::isnan(value)) return std::numeric_limits<float>::quiet_NaN();
  constexpr double kOverflow = 0x1.ffffffp127;
  const float largest = std::numeric_limits<float>::max();
  const float infinity = std::numeric_limits<float>::infinity();
  if (std::fabs(value) >= kOverflow) return value > 0 ? infinity : -infinity;
  if (std::fabs(value) > largest) return value > 0 ? largest : -largest;
  return static_cast<float>(value);
}

// Splits a rule value at its first comma; without a comma both fields are the whole value.
inline std::pair<std::string, std::string> SplitAtFirstComma(const std::string& value) {
  const auto comma = value.find(',');
  if (comma == std::string::npos) return {value, value};
  return {value.substr(0, comma), value.substr(comma + 1)};
}

// A field's text, or empty when the field is missing or null.
inline std::string TextOf(const Json::Value& field) {
  return field.isNull() ? std::string() : field.asString();
}

}  // namespace unidata_config

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::LoadRuleFile(const std::string& path) {
  boost::property_tree::ptree tree;
  boost::property_tree::ini_parser::read_ini(path, tree, std::locale());
  for (const auto& key : tree.get_child("AI")) {
    aiSignalMap_[key.first] = unidata_config::SplitAtFirstComma(key.second.data());
  }
  for (const auto& key : tree.get_child("ALARM")) {
    const std::string& stored = alarmSignalIdMap_[key.first] =
        unidata_config::SplitAtFirstComma(key.second.data()).first;
    std::cout << "alarmSignalIdMap_ " << key.first << " : " << stored << std::endl;
  }
}

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::LoadIdentityTables(const Json::Value& settings) {
  std::cout << "here 1" << std::endl;
  const Json::Value& members = unidata_config::MemberOf(settings, "thresholdSetting");
  if (members.isNull()) return;
  std::cout << "here 2" << std::endl;
  // A scalar or an array holds no named members; it is passed over rather than thrown on.
  if (!members.isObject()) return;
  for (auto it = members.begin(); it != members.end(); ++it) {
    const std::string name = it.name();
    std::cout << "here " << name << std::endl;
    const Json::Value& member = *it;
    if (!member.isObject()) continue;
    if (!member["SignalName"].isNull()) signalNameMap_[name] = member["SignalName"].asString();
    std::string joined;
    for (const char* field : {"NMAlarmID", "ID", "SignalNumber"}) {
      if (!member[field].isNull()) {
        joined += member[field].asString();
      } else {
        std::cout << this->DataId() << " " << field << " is missing" << std::endl;
      }
      joined += ";";
    }
    std::cout << "mobile:" << name << ":" << joined << " level:" << this->levelMap_[name]
              << " value:" << this->valueMap_[name] << std::endl;
    nmAlarmIdMap_[name] = joined;
  }
}

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::LoadThresholdRules(const Json::Value& settings) {
  upThresholdMap_.clear();
  up2ThresholdMap_.clear();
  lowThresholdMap_.clear();
  low2ThresholdMap_.clear();
  const Json::Value& members = unidata_config::MemberOf(settings, "thresholdSetting");
  if (!members.isObject()) return;
  for (const Json::Value& member : members) {
    if (!member.isObject()) continue;
    const std::string id = unidata_config::TextOf(member["ID"]);
    if (id.empty()) continue;
    const std::string signal = unidata_config::TextOf(member["SignalName"]);
    if (signal.empty()) continue;
    BuildThresholdRule(member, signal, id, "UpValue", "UpReconverValue", "UpAlarmLevel", "001",
                       upThresholdMap_);
    BuildThresholdRule(member, signal, id, "Up2Value", "Up2ReconverValue", "Up2AlarmLevel", "002",
                       up2ThresholdMap_);
    BuildThresholdRule(member, signal, id, "LowValue", "LowReconverValue", "LowAlarmLevel", "003",
                       lowThresholdMap_);
    BuildThresholdRule(member, signal, id, "Low2Value", "Low2ReconverValue", "Low2AlarmLevel",
                       "004", low2ThresholdMap_);
  }
}

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::BuildThresholdRule(
    const Json::Value& member, const std::string& signalName, const std::string& id,
    const char* valueKey, const char* recoverKey, const char* levelKey, const char* levelCode,
    ThresholdMap& table) {
  const Json::Value& limit = unidata_config::MemberOf(member, valueKey);
  const Json::Value& recover = unidata_config::MemberOf(member, recoverKey);
  const Json::Value& level = unidata_config::MemberOf(member, levelKey);
  if (limit.isNull() || recover.isNull() || level.isNull()) return;
  const std::string limitText = limit.asString();
  const std::string recoverText = recover.asString();
  const std::string levelText = level.asString();
  if (limitText.empty() || recoverText.empty() || levelText.empty()) return;
  table[signalName] = ThresholdRule(id + levelCode, unidata_config::TextToFloat(limitText),
                                    unidata_config::TextToFloat(recoverText), false,
                                    unidata_config::TextToInt32(levelText));
}
