// SPDX-License-Identifier: Apache-2.0
#pragma once
// The topics and payloads of the MQTT bridge: what a subscriber sees under <prefix>/<dataId>/ and
// what Home Assistant reads under its discovery prefix.

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include <json/value.h>

#include "config/HostConfig.h"
#include "events/Event.h"
#include "mqtt/MqttMessage.h"

std::string DeviceTopic(const MqttConfig& config, uint32_t dataId, const std::string& leaf);
// A topic level made of the text: '/', '+' and '#' (and control bytes) become '_'.
std::string TopicLevel(const std::string& text);

// The state of a cycle as a JSON object; its message carries it as PayloadJson writes it.
Json::Value StateJson(const CycleEvent& cycle, std::time_t time);
MqttMessage StateMessage(const MqttConfig& config, const CycleEvent& cycle, std::time_t time);
MqttMessage AlarmMessage(const MqttConfig& config, const AlarmEvent& alarm);
MqttMessage ReportMessage(const MqttConfig& config, const ReportEvent& report, std::time_t time);
MqttMessage AvailabilityMessage(const MqttConfig& config, uint32_t dataId, bool online);

// Home Assistant discovery: one sensor for each measured field of the device's type that has a
// Home Assistant class (a DO3008RA: temperature, humidity and pressure), all on the device's
// state topic, grouped under one device of the type's model.
std::vector<MqttMessage> SensorDiscovery(const MqttConfig& config, uint32_t dataId,
                                         const DeviceType& type);
// A binary sensor (device class "problem"), named `name`, that is on while the alarm is active.
MqttMessage AlarmDiscovery(const MqttConfig& config, uint32_t dataId, const DeviceType& type,
                           const std::string& alarmId, const std::string& name);
