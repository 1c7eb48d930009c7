// SPDX-License-Identifier: Apache-2.0
#include "mqtt/MqttSink.h"

#include "mqtt/Payloads.h"

#include <algorithm>
#include <thread>

// What each kind of event becomes on the broker; the rest is for people and the store only.
struct MqttSink::Publisher {
  const MqttConfig& config;
  DeviceLink& link;
  const DeviceType* type;
  std::time_t time;

  void operator()(const CycleEvent& e) const { link.Publish(StateMessage(config, e, time)); }
  void operator()(const AlarmEvent& e) const {
    if (config.homeAssistant && type != nullptr) {
      link.PublishOnce(AlarmDiscovery(config, e.dataId, *type, e.alarmId,
                                      "Alarm " + e.alarmId + " (" + e.signalName + ")"));
    }
    link.Publish(AlarmMessage(config, e));
  }
  // Every rule from the device's first evaluation on: its entity, named by signal and side, and
  // its state, so that Home Assistant shows OFF rather than "Unknown" for a rule never raised.
  void operator()(const AlarmRuleEvent& e) const {
    if (config.homeAssistant && type != nullptr) {
      link.Publish(AlarmDiscovery(config, e.dataId, *type, e.state.alarmId, e.name));
    }
    link.Publish(AlarmMessage(config, e.state));
  }
  void operator()(const ReportEvent& e) const { link.Publish(ReportMessage(config, e, time)); }
  void operator()(const LinkEvent& e) const {
    link.Publish(AvailabilityMessage(config, e.dataId, !e.lost));
  }
  template <typename Other>
  void operator()(const Other&) const {}
};

MqttSink::MqttSink(const MqttConfig& config, const std::vector<Device>& devices,
                   const std::vector<KnownAlarm>& alarms, EventSink& notices)
    : config_(config) {
  for (const Device& device : devices) {
    links_[device.dataId] =
        std::make_unique<DeviceLink>(config, device.dataId, device.type, notices);
    if (device.type != nullptr) types_[device.dataId] = device.type;
  }
  if (!config.homeAssistant) return;
  for (const KnownAlarm& alarm : alarms) {
    DeviceLink* link = LinkOf(alarm.dataId);
    const auto type = types_.find(alarm.dataId);
    if (link != nullptr && type != types_.end()) {
      link->PublishOnce(AlarmDiscovery(config, alarm.dataId, *type->second, alarm.alarmId,
                                       "Alarm " + alarm.alarmId + " (" + alarm.signalName + ")"));
    }
  }
}

void MqttSink::Start() {
  for (auto& [dataId, link] : links_) link->Start();
}

void MqttSink::Stop(std::chrono::milliseconds limit) {
  // Side by side: a host with many devices stops within the same bound as one with one.
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (auto& [dataId, link] : links_) link->SayOffline();
  for (auto& [dataId, link] : links_) {
    while (!link->Settled() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  for (auto& [dataId, link] : links_) link->RequestStop();
  const auto end = std::chrono::steady_clock::now() + kFinishLimit;
  for (auto& [dataId, link] : links_) {
    if (!link->Finish(end)) left_.push_back(link.get());
  }
}

MqttSink::~MqttSink() {
  // A network thread still inside a name look-up uses its link when it comes back: the link
  // stays for the rest of the process (reachable from here, so not a leak).
  static auto* kept = new std::vector<std::unique_ptr<DeviceLink>>();
  for (auto& [dataId, link] : links_) {
    if (std::find(left_.begin(), left_.end(), link.get()) != left_.end()) {
      kept->push_back(std::move(link));
    }
  }
}

std::vector<MqttSummaryEvent> MqttSink::Summaries() {
  std::vector<MqttSummaryEvent> summaries;
  for (auto& [dataId, link] : links_) summaries.push_back(link->Summary());
  return summaries;
}

void MqttSink::Take(const HostEvent& event) {
  const uint32_t dataId = DataIdOf(event.body);
  DeviceLink* link = LinkOf(dataId);
  if (link == nullptr) return;
  const auto type = types_.find(dataId);
  std::visit(Publisher{config_, *link, type == types_.end() ? nullptr : type->second, event.time},
             event.body);
}

DeviceLink* MqttSink::LinkOf(uint32_t dataId) {
  const auto found = links_.find(dataId);
  return found == links_.end() ? nullptr : found->second.get();
}
