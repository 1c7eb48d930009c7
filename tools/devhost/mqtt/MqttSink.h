// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/HostConfig.h"
#include "events/Event.h"
#include "mqtt/DeviceLink.h"

// Publishes what the lines emit to an MQTT broker: each device's state after every cycle, its
// alarm changes and analog reports, its availability, and (optionally) Home Assistant discovery.
// Take is called on the lines' threads and only queues; the broker being away, slow or refusing
// never holds up a poll cycle. Connection changes and summaries go to `notices`.
class MqttSink : public EventSink {
 public:
  struct Device {
    uint32_t dataId = 0;
    const DeviceType* type = nullptr;  // none known: no Home Assistant discovery
  };
  struct KnownAlarm {
    uint32_t dataId = 0;
    std::string alarmId;
    std::string signalName;
  };

  MqttSink(const MqttConfig& config, const std::vector<Device>& devices,
           const std::vector<KnownAlarm>& alarms, EventSink& notices);
  ~MqttSink() override;
  MqttSink(const MqttSink&) = delete;
  MqttSink& operator=(const MqttSink&) = delete;

  void Start();
  // Says `offline` for every device, waits at most `limit` for the rest to go out, disconnects;
  // then at most kFinishLimit for the network threads, whatever the broker does.
  void Stop(std::chrono::milliseconds limit);
  static constexpr std::chrono::milliseconds kFinishLimit{500};
  std::vector<MqttSummaryEvent> Summaries();

  void Take(const HostEvent& event) override;

 private:
  struct Publisher;
  DeviceLink* LinkOf(uint32_t dataId);

  const MqttConfig& config_;
  std::map<uint32_t, std::unique_ptr<DeviceLink>> links_;  // fixed after construction
  std::map<uint32_t, const DeviceType*> types_;            // of the devices of known type
  std::vector<DeviceLink*> left_;  // links whose network thread did not end in Stop
};
