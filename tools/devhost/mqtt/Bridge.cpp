// SPDX-License-Identifier: Apache-2.0
// Its kind is declared where the host lists the kinds (cli/SinkRegistry.cpp).
#include "sinks/SinkKind.h"

#include "config/HostConfig.h"
#include "config/MqttConfig.h"
#include "mqtt/MqttSink.h"
#include "service/Host.h"

namespace {

// Long enough to hand the last messages to a broker that is there, short enough not to hold up
// a stop when it is not.
constexpr std::chrono::milliseconds kStopLimit{1000};

class MqttBridge : public HostedSink {
 public:
  MqttBridge(const MqttConfig& config, Host& host, EventSink& notices)
      : sink_(config, Devices(host), KnownAlarms(host), notices) {}

  EventSink* Events() override { return &sink_; }
  // Connecting in the background.
  void Start() override { sink_.Start(); }
  std::vector<SinkCount> Counts() override {
    std::vector<SinkCount> counts;
    for (const MqttSummaryEvent& summary : sink_.Summaries()) {
      counts.push_back(
          {"mqtt", summary.dataId, summary.published, summary.dropped, summary.superseded});
    }
    return counts;
  }
  // Says `offline`, disconnects, and emits each device's counts on its line, where the console
  // shows them and the store keeps them.
  void Stop(Host& host, const QueueLosses& losses) override {
    sink_.Stop(kStopLimit);
    // The lines have stopped: their events go out on this thread, to the console and the store.
    for (MqttSummaryEvent summary : sink_.Summaries()) {
      const auto lost = losses.find(summary.dataId);
      if (lost != losses.end()) {
        summary.dropped += lost->second.dropped;
        summary.superseded += lost->second.superseded;
      }
      LineController* line = nullptr;
      if (host.Find(summary.dataId, &line) != nullptr) line->Events().Emit(summary);
    }
    for (auto& line : host.Lines()) line->Events().Flush();
  }

 private:
  static std::vector<MqttSink::Device> Devices(Host& host) {
    std::vector<MqttSink::Device> devices;
    for (auto& line : host.Lines()) {
      for (auto& device : line->Devices()) devices.push_back({device->dataId, device->type});
    }
    return devices;
  }
  // The alarms the store knows get their discovery at once, before any of them changes again.
  static std::vector<MqttSink::KnownAlarm> KnownAlarms(Host& host) {
    std::vector<MqttSink::KnownAlarm> alarms;
    for (auto& line : host.Lines()) {
      for (auto& device : line->Devices()) {
        for (const auto& [alarmId, last] : host.StoredAlarms(device->dataId)) {
          alarms.push_back({device->dataId, alarmId, last.signalName});
        }
      }
    }
    return alarms;
  }

  MqttSink sink_;
};

}  // namespace

SinkKind MqttSinkKind() {
  SinkKind kind;
  kind.member = "mqtt";
  // Its Take never waits: it queues on each device's link, whose network thread does the rest;
  // a queue and thread of the host's in front of it would only add a thread wake per cycle.
  kind.build = [](const HostConfig& config, SinkSite& site) -> std::unique_ptr<HostedSink> {
    if (!config.mqtt) return nullptr;
    return std::make_unique<MqttBridge>(*config.mqtt, site.host, site.notices);
  };
  return kind;
}
