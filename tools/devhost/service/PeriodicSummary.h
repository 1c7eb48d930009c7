// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "events/Event.h"

class Host;

// What the host did in each period, one line: a service's journal at the default level shows
// this instead of a line per cycle. "in the last 3600 s: 3600 cycle(s), 0 failed poll(s),
// 0 error(s); MQTT 3600 published, 0 dropped". The devices' counts are read by a job on each
// line, on the thread that changes them.
class PeriodicSummary {
 public:
  using MqttCounts = std::function<std::vector<MqttSummaryEvent>()>;  // empty: no bridge
  using Say = std::function<void(const std::string&)>;

  PeriodicSummary(Host& host, std::chrono::seconds every, MqttCounts mqtt, Say say);
  // Stops without a last line: the host's stop prints its own summaries.
  ~PeriodicSummary();
  PeriodicSummary(const PeriodicSummary&) = delete;
  PeriodicSummary& operator=(const PeriodicSummary&) = delete;

  struct Totals {
    unsigned long cycles = 0, failedPolls = 0, errors = 0, published = 0, dropped = 0;
  };
  // The line of a period: `now` less `before`.
  static std::string Text(long seconds, const Totals& before, const Totals& now, bool mqtt);

 private:
  void Loop();
  Totals Collect();

  Host& host_;
  const std::chrono::seconds every_;
  MqttCounts mqtt_;
  Say say_;
  std::vector<Totals> lineCounts_;  // each line's counts when it last took the job
  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopping_ = false;
  std::thread thread_;
};
