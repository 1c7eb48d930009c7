// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "events/Event.h"
#include "sinks/SinkKind.h"

// What the Prometheus endpoint shows of each device, kept from the lines' events: the last
// cycle's values and when it came, the link, each alarm rule's state, and the device's counters.
// Not thread-safe: its owner locks, and renders from a copy.
class MetricsBook {
 public:
  // `line`: the serial device the device is on.
  void AddDevice(uint32_t dataId, const DeviceType* type, const std::string& line);
  void Take(const HostEvent& event);
  // The line's own counts of the device (taken on the line's thread).
  void SetCounts(uint32_t dataId, unsigned long cycles, unsigned long failedPolls,
                 unsigned long errors);
  // The text exposition format (version 0.0.4), at `now`, with what the sinks did.
  std::string Render(std::time_t now, const std::vector<SinkCount>& sinks) const;

 private:
  struct AlarmState {
    std::string signal;
    bool active = false;
  };
  struct Device {
    const DeviceType* type = nullptr;
    std::string line;
    std::optional<RecordValues> values;  // of the last cycle
    std::time_t lastCycle = 0;           // 0: none in this run
    bool linkLost = false;
    std::map<std::string, AlarmState> alarms;  // by alarm id
    unsigned long cycles = 0;
    unsigned long failedPolls = 0;
    unsigned long errors = 0;
    unsigned long storeFailures = 0;
  };
  struct Writer;

  void Alarm(uint32_t dataId, const AlarmEvent& alarm);
  void RenderValues(Writer& writer, std::map<uint32_t, std::string>& labels) const;
  void RenderStates(Writer& writer, std::map<uint32_t, std::string>& labels, std::time_t now) const;
  void RenderCounters(Writer& writer, std::map<uint32_t, std::string>& labels,
                      const std::vector<SinkCount>& sinks) const;

  std::map<uint32_t, Device> devices_;
};
