// SPDX-License-Identifier: Apache-2.0
#include "sinks/RunningSinks.h"

#include <algorithm>
#include <iterator>

#include "service/Host.h"

namespace {

void AddLosses(std::vector<SinkCount>& counts, const std::string& member,
               const QueueLosses& losses) {
  for (const auto& [dataId, loss] : losses) {
    auto found = std::find_if(counts.begin(), counts.end(), [&](const SinkCount& count) {
      return count.dataId == dataId && count.sink == member;
    });
    if (found == counts.end()) found = counts.insert(counts.end(), SinkCount{member, dataId});
    found->dropped += loss.dropped;
    found->superseded += loss.superseded;
  }
}

}  // namespace

void RunningSinks::Start(const std::vector<SinkKind>& kinds, const HostConfig& config, Host& host,
                         EventSink& notices) {
  for (const SinkKind& kind : kinds) StartKind(kind, config, host, notices);
}

void RunningSinks::StartKind(const SinkKind& kind, const HostConfig& config, Host& host,
                             EventSink& notices) {
  SinkSite site{host, notices, [this] { return Counts(); }};
  std::unique_ptr<HostedSink> sink = kind.build(config, site);
  if (!sink) return;
  Running running{kind.member, std::move(sink), nullptr};
  EventSink* events = running.sink->Events();
  if (events != nullptr && kind.mayBlock) {
    running.queue = std::make_unique<QueuedSink>(*events, kQueueLimit);
    events = running.queue.get();
  }
  if (events != nullptr) host.AddSink(*events);
  if (running.queue) running.queue->Start();
  HostedSink& started = *running.sink;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    running_.push_back(std::move(running));
  }
  try {
    started.Start();
  } catch (...) {
    // Never started: taken off the lines and dropped, so that no stop waits for it.
    Running failed;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      failed = std::move(running_.back());
      running_.pop_back();
    }
    if (events != nullptr) host.RemoveSink(*events);
    if (failed.queue) failed.queue->Stop(std::chrono::milliseconds(0));
    throw;
  }
}

void RunningSinks::Stop(Host& host) {
  std::vector<Running> stopping;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping.swap(running_);
  }
  for (auto it = stopping.rbegin(); it != stopping.rend(); ++it) StopOne(std::move(*it), host);
}

void RunningSinks::Restart(const SinkKind& kind, const HostConfig& config, Host& host,
                           EventSink& notices) {
  std::vector<Running> stopping;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto of = [&kind](const Running& running) { return running.member == kind.member; };
    const auto from = std::stable_partition(running_.begin(), running_.end(),
                                            [&of](const Running& r) { return !of(r); });
    std::move(from, running_.end(), std::back_inserter(stopping));
    running_.erase(from, running_.end());
  }
  for (Running& running : stopping) {
    EventSink* events = running.queue ? running.queue.get() : running.sink->Events();
    if (events != nullptr) host.RemoveSink(*events);
    StopOne(std::move(running), host);
  }
  StartKind(kind, config, host, notices);
}

void RunningSinks::StopOne(Running running, Host& host) {
  QueueLosses losses;
  if (running.queue) {
    const bool ended = running.queue->Stop(kQueueStopLimit);
    losses = running.queue->Losses();
    // Its thread is still inside the sink: both stay for the rest of the process.
    if (!ended) {
      static auto* kept = new std::vector<Running>();
      running.sink->Stop(host, losses);
      kept->push_back(std::move(running));
      return;
    }
  }
  running.sink->Stop(host, losses);
}

std::vector<SinkCount> RunningSinks::Counts() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<SinkCount> counts;
  for (Running& running : running_) {
    std::vector<SinkCount> own = running.sink->Counts();
    if (running.queue) AddLosses(own, running.member, running.queue->Losses());
    counts.insert(counts.end(), own.begin(), own.end());
  }
  return counts;
}

RunningSinks::~RunningSinks() {
  // A start that failed half-way: what was started is stopped without a summary.
  for (Running& running : running_) {
    if (running.queue) running.queue->Stop(std::chrono::milliseconds(0));
  }
}
