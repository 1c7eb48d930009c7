// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <vector>

#include "MemoryBus.h"
#include "do3008ra/DO3008RA.h"
#include "events/DeviceTypes.h"
#include "line/AlarmRecovery.h"
#include "line/LineController.h"

// A line controller on a memory bus with real DO3008RA devices, made as the host makes them,
// and every event the line emits.
struct SensorLine {
  explicit SensorLine(int pollIntervalMs = 1000)
      : line(std::make_shared<LineController>(Config(pollIntervalMs))) {
    auto owned = std::make_unique<MemoryBus>();
    bus = owned.get();
    line->Port().Attach(std::move(owned));
    line->Events().Add(events);
  }

  HostedDevice& AddSensor(uint32_t dataId, int slave, const Json::Value& settings = Settings()) {
    auto hosted = std::make_unique<HostedDevice>();
    hosted->dataId = dataId;
    hosted->object = std::make_unique<DO3008RA>();
    hosted->device = dynamic_cast<SMDVDevice*>(hosted->object.get());
    hosted->modbus = dynamic_cast<SPModbus*>(hosted->object.get());
    hosted->type = DeviceTypeNamed(hosted->object->DeviceType());
    hosted->device->Init(line, dataId, settings);
    hosted->device->InitSetting(settings);
    hosted->alarms.SetRules(AlarmRecoveries(settings));
    hosted->slave = slave;
    bus->Slave(slave) = {{0, 455}, {1, 234}, {3, 10132}, {2000, uint16_t(slave)}, {2001, 2}};
    return line->Devices().Add(std::move(hosted));
  }

  template <typename Kind>
  std::vector<Kind> EventsOf() const {
    std::vector<Kind> found;
    for (const HostEvent& event : events.Events()) {
      if (const auto* kind = std::get_if<Kind>(&event.body)) found.push_back(*kind);
    }
    return found;
  }

  // What the line said: its errors, then its notices.
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& error : EventsOf<ErrorEvent>()) texts.push_back(error.what);
    for (const auto& notice : EventsOf<NoticeEvent>()) texts.push_back(notice.text);
    return texts;
  }

  static Json::Value Settings() {
    Json::Value settings(Json::objectValue);
    settings["appSetting"]["b_mode"] = 2;  // no rules: nothing to look up on disk
    return settings;
  }

  static LineConfig Config(int pollIntervalMs = 1000) {
    LineConfig config;
    config.device = "/dev/memory-bus";
    config.pollIntervalMs = pollIntervalMs;
    return config;  // a link counts as lost after 3 failed cycles
  }

  std::shared_ptr<LineController> line;
  MemoryBus* bus = nullptr;
  CollectingSink events;
};
