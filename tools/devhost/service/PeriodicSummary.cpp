// SPDX-License-Identifier: Apache-2.0
#include "service/PeriodicSummary.h"

#include <memory>

#include "line/LineJob.h"
#include "service/Host.h"

namespace {

// A line busy for longer is skipped in this period's count, not waited for.
constexpr std::chrono::seconds kLinePatience{10};

}  // namespace

PeriodicSummary::PeriodicSummary(Host& host, std::chrono::seconds every, MqttCounts mqtt, Say say)
    : host_(host), every_(every), mqtt_(std::move(mqtt)), say_(std::move(say)) {
  if (every_.count() > 0) thread_ = std::thread([this] { Loop(); });
}

PeriodicSummary::~PeriodicSummary() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  stop_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void PeriodicSummary::Loop() {
  Totals before;
  auto due = std::chrono::steady_clock::now() + every_;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_.wait_until(lock, due, [this] { return stopping_; })) {
    lock.unlock();
    const Totals now = Collect();
    say_(Text(static_cast<long>(every_.count()), before, now, static_cast<bool>(mqtt_)));
    before = now;
    due += every_;
    lock.lock();
  }
}

PeriodicSummary::Totals PeriodicSummary::Collect() {
  auto& lines = host_.Lines();
  lineCounts_.resize(lines.size());
  Totals totals;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto counted = std::make_shared<Totals>();  // the job may outlive a wait given up
    try {
      RunLineJob(
          *lines[i],
          [counted, controller = lines[i].get()] {
            for (const auto& device : controller->Devices()) {
              counted->cycles += device->cycles;
              counted->failedPolls += device->failedPolls;
              counted->errors += device->errors;
            }
          },
          false, kLinePatience, "line " + lines[i]->Config().device);
      lineCounts_[i] = *counted;
    } catch (const NotSent&) {
      // Busy or stopped: its counts of the period before stand.
    }
    totals.cycles += lineCounts_[i].cycles;
    totals.failedPolls += lineCounts_[i].failedPolls;
    totals.errors += lineCounts_[i].errors;
  }
  if (mqtt_) {
    for (const MqttSummaryEvent& link : mqtt_()) {
      totals.published += link.published;
      totals.dropped += link.dropped;
    }
  }
  return totals;
}

std::string PeriodicSummary::Text(long seconds, const Totals& before, const Totals& now,
                                  bool mqtt) {
  const auto since = [](unsigned long a, unsigned long b) {
    return std::to_string(b > a ? b - a : 0);
  };
  std::string text = "in the last " + std::to_string(seconds) +
                     " s: " + since(before.cycles, now.cycles) + " cycle(s), " +
                     since(before.failedPolls, now.failedPolls) + " failed poll(s), " +
                     since(before.errors, now.errors) + " error(s)";
  if (mqtt) {
    text += "; MQTT " + since(before.published, now.published) + " published, " +
            since(before.dropped, now.dropped) + " dropped";
  }
  return text;
}
