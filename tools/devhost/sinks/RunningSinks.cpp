// SPDX-License-Identifier: Apache-2.0
#include "sinks/RunningSinks.h"

#include <algorithm>

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
  SinkSite site{host, notices, [this] { return Counts(); }};
  for (const SinkKind& kind : kinds) {
    std::unique_ptr<HostedSink> sink = kind.build(config, site);
    if (!sink) continue;
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
    started.Start();
  }
}

void RunningSinks::Stop(Host& host) {
  std::vector<Running> stopping;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping.swap(running_);
  }
  for (auto it = stopping.rbegin(); it != stopping.rend(); ++it) {
    QueueLosses losses;
    if (it->queue) {
      const bool ended = it->queue->Stop(kQueueStopLimit);
      losses = it->queue->Losses();
      // Its thread is still inside the sink: both stay for the rest of the process.
      if (!ended) {
        static auto* kept = new std::vector<Running>();
        it->sink->Stop(host, losses);
        kept->push_back(std::move(*it));
        continue;
      }
    }
    it->sink->Stop(host, losses);
  }
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
