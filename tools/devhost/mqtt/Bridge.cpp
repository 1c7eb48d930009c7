// SPDX-License-Identifier: Apache-2.0
#include "mqtt/Bridge.h"

#include "service/Host.h"

namespace {

// Long enough to hand the last messages to a broker that is there, short enough not to hold up
// a stop when it is not.
constexpr std::chrono::milliseconds kStopLimit{1000};

}  // namespace

std::unique_ptr<MqttSink> StartMqttBridge(const HostConfig& config, Host& host,
                                          EventSink& notices) {
  if (!config.mqtt) return nullptr;
  std::vector<MqttSink::Device> devices;
  std::vector<MqttSink::KnownAlarm> alarms;
  // The alarms the store knows get their discovery at once, before any of them changes again.
  for (auto& line : host.Lines()) {
    for (auto& device : line->Devices()) {
      devices.push_back({device->dataId, device->type});
      for (const auto& [alarmId, last] : host.StoredAlarms(device->dataId)) {
        alarms.push_back({device->dataId, alarmId, last.signalName});
      }
    }
  }
  auto bridge = std::make_unique<MqttSink>(*config.mqtt, devices, alarms, notices);
  host.AddSink(*bridge);
  bridge->Start();
  return bridge;
}

void StopMqttBridge(MqttSink& bridge, Host& host) {
  bridge.Stop(kStopLimit);
  // The lines have stopped: their events go out on this thread, to the console and the store.
  for (const MqttSummaryEvent& summary : bridge.Summaries()) {
    LineController* line = nullptr;
    if (host.Find(summary.dataId, &line) != nullptr) line->Events().Emit(summary);
  }
  for (auto& line : host.Lines()) line->Events().Flush();
}
