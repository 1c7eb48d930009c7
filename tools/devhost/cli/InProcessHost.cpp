// SPDX-License-Identifier: Apache-2.0
#include "cli/InProcessHost.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>

#include "control/RequestHandler.h"
#include "line/DeviceReports.h"
#include "service/Host.h"
#include "service/LineThreads.h"
#include "store/StoreConnection.h"

namespace {

// The first round of a host that has just started may take the response timeout of every
// device; this only bounds a line that never gets to it.
constexpr std::chrono::seconds kFirstRoundLimit{60};
// The longest poll interval a configuration may give: a day.
constexpr int kNeverMs = 86400000;

// Every event of every line, in the order the lines emitted them.
class SeenEvents : public EventSink {
 public:
  void Take(const HostEvent& event) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }
  std::vector<HostEvent> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  std::mutex mutex_;
  std::vector<HostEvent> events_;
};

// Counts down the lines still in their first round.
class Countdown {
 public:
  explicit Countdown(std::size_t count) : left_(count) {}
  void Done() {
    std::lock_guard<std::mutex> lock(mutex_);
    --left_;
    zero_.notify_all();
  }
  void Wait(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    zero_.wait_until(lock, deadline, [this] { return left_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable zero_;
  std::size_t left_;
};

// Answered or not: a device polled once since the host started.
bool EveryDevicePolled(LineController& line) {
  for (const auto& device : line.Devices()) {
    if (device->cycles + device->failedPolls == 0) return false;
  }
  return true;
}

// A job runs between the devices of a round; until the round is over it comes back after the
// next device. A line that stopped takes no job: its round is as over as it gets.
void AwaitFirstRound(Host& host) {
  auto countdown = std::make_shared<Countdown>(host.Lines().size());
  for (auto& line : host.Lines()) {
    LineController* controller = line.get();
    auto check = std::make_shared<std::function<void()>>();
    *check = [countdown, controller, self = std::weak_ptr<std::function<void()>>(check)] {
      // The job that runs holds `check`, so `self` is there.
      const auto again = self.lock();
      if (!EveryDevicePolled(*controller) && controller->Post([again] { (*again)(); })) return;
      countdown->Done();
    };
    if (!controller->Post([check] { (*check)(); })) countdown->Done();
  }
  countdown->Wait(std::chrono::steady_clock::now() + kFirstRoundLimit);
}

// A device rebuilds its status document only in another second than that of its record: the
// first cycle must not share the second of a record restored from a host that just stopped.
void AwaitSecondAfterRestored(Host& host) {
  for (auto& line : host.Lines()) {
    for (auto& device : line->Devices()) WaitForNextSecond(*device);
  }
}

// The configuration with lines that poll only when asked: no round is ever due after the first.
HostConfig PolledOnlyWhenAsked(HostConfig config) {
  for (LineConfig& line : config.lines) line.pollIntervalMs = kNeverMs;
  return config;
}

void StartFor(Host& host, const std::string& database, InProcessStart start) {
  const bool storeOnly = start == InProcessStart::kStoreOnly;
  // Answered from the store alone: a database that is not there is an error, not a new one.
  if (storeOnly) StoreConnection(database, false);
  host.Start(storeOnly ? Host::SerialLines::kLeftClosed : Host::SerialLines::kOpen);
  // Pruning is run's and prune's work, not that of a host started for one command.
  for (auto& line : host.Lines()) line->SetIdleWork({});
}

void SayOnStderr(const std::string& text) { std::fprintf(stderr, "devhost: %s\n", text.c_str()); }

}  // namespace

CommandResult AnswerInProcess(const HostConfig& config, const Json::Value& request,
                              const DeviceCommand& command) {
  const HostConfig quiet = PolledOnlyWhenAsked(config);
  SeenEvents seen;  // outlives the host whose lines hand it events
  Host host(quiet);
  StartFor(host, config.database, command.start);
  const bool firstRound = command.start == InProcessStart::kFirstRound;
  host.AddSink(seen);
  host.Restore();
  if (firstRound) AwaitSecondAfterRestored(host);
  LineThreads threads(host, firstRound ? LineThreads::Work::kPoll : LineThreads::Work::kJobsOnly, 0,
                      SayOnStderr);
  if (firstRound) AwaitFirstRound(host);
  const std::vector<HostEvent> started =
      command.showsStart ? seen.Events() : std::vector<HostEvent>();
  CommandResult result = RequestHandler(host).Answer(request);
  threads.Stop();
  threads.Join();
  result.events.insert(result.events.begin(), started.begin(), started.end());
  return result;
}
