// SPDX-License-Identifier: Apache-2.0
#include "mqtt/Payloads.h"

#include <json/value.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "events/EventFormat.h"
#include "events/FloatText.h"
#include "events/RecordView.h"

namespace {

// The value as a person reads the single-precision figure (23.4, not 23.399999618530273).
Json::Value FloatValue(float value) {
  if (!std::isfinite(value)) return Json::Value();
  return ShortestFloatDouble(value);
}

// Alarm values come as text from the device, single precision to nine digits ("31",
// "27.2999992"); numbers are published as numbers, the shortest figure of that float (27.3).
Json::Value ValueOf(const std::string& text) {
  if (text.empty()) return text;
  char* end = nullptr;
  const float number = std::strtof(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(number)) return text;
  return FloatValue(number);
}

// Payloads for people and dashboards: ten significant digits, so a double made of tenths is
// written as its decimal figure (9.6), as on the console.
std::string PayloadJson(const Json::Value& json) { return CompactJson(json, false); }

// node_id and object_id take only [a-zA-Z0-9_-].
std::string IdText(const std::string& text) {
  std::string id;
  for (unsigned char c : text) id += (std::isalnum(c) || c == '_' || c == '-') ? char(c) : '_';
  return id;
}

// The host's node in discovery topics is its prefix, so that a broker's ACL can give each host
// its own part of the discovery tree (homeassistant/+/site_hall1/#).
std::string NodeId(const MqttConfig& config) { return IdText(config.prefix); }

// The device: stable across restarts, and unique on a broker that hosts with their own prefix
// share.
std::string DeviceId(const MqttConfig& config, uint32_t dataId) {
  return NodeId(config) + "_" + std::to_string(dataId);
}

Json::Value DeviceBlock(const MqttConfig& config, uint32_t dataId, const DeviceType& type) {
  Json::Value device(Json::objectValue);
  device["identifiers"].append(DeviceId(config, dataId));
  device["name"] = type.model + " " + std::to_string(dataId);
  device["model"] = type.model;
  device["sw_version"] = "devhost " DEVHOST_VERSION;
  return device;
}

Json::Value EntityBase(const MqttConfig& config, uint32_t dataId, const DeviceType& type,
                       const std::string& objectId, const std::string& name) {
  Json::Value entity(Json::objectValue);
  entity["name"] = name;
  entity["unique_id"] = DeviceId(config, dataId) + "_" + objectId;
  entity["availability_topic"] = DeviceTopic(config, dataId, "availability");
  entity["payload_available"] = "online";
  entity["payload_not_available"] = "offline";
  entity["device"] = DeviceBlock(config, dataId, type);
  return entity;
}

MqttMessage DiscoveryMessage(const MqttConfig& config, const std::string& component,
                             uint32_t dataId, const std::string& objectId,
                             const Json::Value& entity) {
  return {config.discoveryPrefix + "/" + component + "/" + NodeId(config) + "/" +
              std::to_string(dataId) + "_" + objectId + "/config",
          CompactJson(entity), true, true};
}

// The key a field has in the state payload.
const std::string& StateKey(const RecordField& field) {
  return field.stateKey.empty() ? field.key : field.stateKey;
}

// A cycle's state is published every cycle: its text is written here directly, byte for byte
// as PayloadJson(StateJson(...)) writes it (members ordered by key, doubles as "%.10g" with ".0"
// on a whole figure), at a tenth of the cost. Nothing when a key or a text would need escaping
// or a value is not finite: StateJson writes those.
bool Plain(std::string_view text) {
  return std::none_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\';
  });
}

// Appends the value as FieldJson and PayloadJson write it; false for a value they write otherwise.
bool AppendNumber(const RecordField& field, double value, std::string& text) {
  if (!std::isfinite(value)) return false;
  char digits[32];
  const auto end =
      field.whole
          ? std::to_chars(digits, digits + sizeof digits, static_cast<Json::Int64>(value)).ptr
          : std::to_chars(digits, digits + sizeof digits, value, std::chars_format::general, 10)
                .ptr;
  text.append(digits, end);
  if (!field.whole && std::find_if(digits, end, [](char c) { return c == '.' || c == 'e'; }) == end)
    text += ".0";
  return true;
}

std::optional<std::string> StateText(const CycleEvent& cycle, std::time_t time) {
  struct Member {
    std::string_view key;
    std::size_t begin, end;  // its value's text in `values`
  };
  std::array<Member, 32> members;
  std::size_t count = 0;
  std::string values;
  values.reserve(256);
  const auto add = [&](std::string_view key, std::size_t begin) {
    members[count++] = {key, begin, values.size()};
  };
  if (cycle.values) {
    const auto& fields = cycle.values->type->fields;
    if (fields.size() + 2 > members.size()) return {};
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const auto published = fields[i].stateValue != nullptr
                                 ? fields[i].stateValue(cycle.values->values[i])
                                 : std::optional<double>(cycle.values->values[i]);
      const std::size_t begin = values.size();
      if (!published) {
        values += "null";
      } else if (!AppendNumber(fields[i], *published, values)) {
        return {};
      }
      add(StateKey(fields[i]), begin);
    }
  }
  // Formatted once a second.
  thread_local std::time_t formattedAt = -1;
  thread_local std::string when;
  if (time != formattedAt) {
    when = IsoTimeText(time);
    formattedAt = time;
  }
  if (!Plain(when)) return {};
  std::size_t begin = values.size();
  values += '"';
  values += when;
  values += '"';
  add("time", begin);
  begin = values.size();
  values += std::to_string(cycle.activeAlarms);
  add("alarms_active", begin);
  // By key, as jsoncpp orders an object's members (stable: a key given twice keeps its last
  // value, as in a JSON object).
  for (std::size_t i = 1; i < count; ++i) {
    for (std::size_t j = i; j > 0 && members[j].key < members[j - 1].key; --j) {
      std::swap(members[j], members[j - 1]);
    }
  }
  std::string text;
  text.reserve(values.size() + 16 * count);
  text += '{';
  for (std::size_t i = 0; i < count; ++i) {
    if (i + 1 < count && members[i + 1].key == members[i].key) continue;
    if (!Plain(members[i].key)) return {};
    if (text.size() > 1) text += ',';
    text += '"';
    text += members[i].key;
    text += "\":";
    text.append(values, members[i].begin, members[i].end - members[i].begin);
  }
  text += '}';
  return text;
}

}  // namespace

std::string TopicLevel(const std::string& text) {
  std::string level;
  for (unsigned char c : text) level += (c == '/' || c == '+' || c == '#' || c < 0x20) ? '_' : c;
  return level.empty() ? "_" : level;
}

std::string DeviceTopic(const MqttConfig& config, uint32_t dataId, const std::string& leaf) {
  return config.prefix + "/" + std::to_string(dataId) + "/" + leaf;
}

Json::Value StateJson(const CycleEvent& cycle, std::time_t time) {
  Json::Value state(Json::objectValue);
  if (cycle.values) {
    // Every field of the record's type.
    const auto& fields = cycle.values->type->fields;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const RecordField& field = fields[i];
      const double value = cycle.values->values[i];
      const auto published =
          field.stateValue != nullptr ? field.stateValue(value) : std::optional<double>(value);
      state[StateKey(field)] = published ? FieldJson(field, *published) : Json::Value();
    }
  }
  state["time"] = IsoTimeText(time);
  state["alarms_active"] = static_cast<Json::UInt64>(cycle.activeAlarms);
  return state;
}

MqttMessage StateMessage(const MqttConfig& config, const CycleEvent& cycle, std::time_t time) {
  std::optional<std::string> payload = StateText(cycle, time);
  if (!payload) payload = PayloadJson(StateJson(cycle, time));
  return {DeviceTopic(config, cycle.dataId, "state"), std::move(*payload), true, true};
}

MqttMessage AlarmMessage(const MqttConfig& config, const AlarmEvent& alarm) {
  Json::Value json(Json::objectValue);
  json["active"] = alarm.active;
  json["level"] = alarm.level;
  json["signal"] = alarm.signalName;
  json["value"] = ValueOf(alarm.valueText);
  json["text"] = alarm.alarmText;
  json["time"] = IsoFromStoreText(alarm.time);
  return {DeviceTopic(config, alarm.dataId, "alarm/" + TopicLevel(alarm.alarmId)),
          PayloadJson(json), true, false};
}

MqttMessage ReportMessage(const MqttConfig& config, const ReportEvent& report, std::time_t time) {
  Json::Value json(Json::objectValue);
  json["value"] = FloatValue(report.value);
  json["time"] = IsoTimeText(time);
  return {DeviceTopic(config, report.dataId, "report/" + TopicLevel(report.signalId)),
          PayloadJson(json), false, false};
}

MqttMessage AvailabilityMessage(const MqttConfig& config, uint32_t dataId, bool online) {
  return {DeviceTopic(config, dataId, "availability"), online ? "online" : "offline", true, true};
}

std::vector<MqttMessage> SensorDiscovery(const MqttConfig& config, uint32_t dataId,
                                         const DeviceType& type) {
  std::vector<MqttMessage> messages;
  for (const RecordField& field : type.fields) {
    if (field.kind != FieldKind::kMeasured || field.homeAssistantClass.empty()) continue;
    const std::string& objectId = StateKey(field);
    Json::Value entity = EntityBase(config, dataId, type, objectId, field.label);
    entity["state_topic"] = DeviceTopic(config, dataId, "state");
    entity["value_template"] = "{{ value_json." + objectId + " }}";
    entity["device_class"] = field.homeAssistantClass;
    entity["unit_of_measurement"] = field.homeAssistantUnit;
    entity["state_class"] = "measurement";
    messages.push_back(DiscoveryMessage(config, "sensor", dataId, objectId, entity));
  }
  return messages;
}

MqttMessage AlarmDiscovery(const MqttConfig& config, uint32_t dataId, const DeviceType& type,
                           const std::string& alarmId, const std::string& name) {
  const std::string objectId = "alarm_" + IdText(alarmId);
  Json::Value entity = EntityBase(config, dataId, type, objectId, name);
  entity["state_topic"] = DeviceTopic(config, dataId, "alarm/" + TopicLevel(alarmId));
  entity["value_template"] = "{{ 'ON' if value_json.active else 'OFF' }}";
  entity["payload_on"] = "ON";
  entity["payload_off"] = "OFF";
  entity["device_class"] = "problem";
  return DiscoveryMessage(config, "binary_sensor", dataId, objectId, entity);
}
