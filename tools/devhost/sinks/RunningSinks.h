// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "config/HostConfig.h"
#include "events/Event.h"
#include "sinks/QueuedSink.h"
#include "sinks/SinkKind.h"

class Host;

// The sinks of a running host, built from the sink kinds for what the configuration has. A
// kind that may block gets a bounded queue and a thread of its own (sinks/QueuedSink.h).
class RunningSinks {
 public:
  // Events queued per sink that may block, beyond which states are superseded.
  static constexpr std::size_t kQueueLimit = 1000;
  // How long a stopping sink's queue has to hand on what it holds.
  static constexpr std::chrono::milliseconds kQueueStopLimit{500};

  RunningSinks() = default;
  ~RunningSinks();
  RunningSinks(const RunningSinks&) = delete;
  RunningSinks& operator=(const RunningSinks&) = delete;

  // Builds and starts every configured sink, adding it to every line's events (before the
  // restore, whose events they take too). `notices`: where connection changes are said.
  void Start(const std::vector<SinkKind>& kinds, const HostConfig& config, Host& host,
             EventSink& notices);
  // Once the lines have stopped: each sink's queue, then the sink itself, last built first.
  void Stop(Host& host);
  // The kind's sink stopped (with its summary) and built again from `config`, if it has the
  // kind's block; the lines parked meanwhile (service/LinePause.h). A sink that cannot start
  // throws as at start.
  void Restart(const SinkKind& kind, const HostConfig& config, Host& host, EventSink& notices);
  // What every sink did so far, its queue's losses included; from any thread.
  std::vector<SinkCount> Counts();

 private:
  struct Running {
    std::string member;
    std::unique_ptr<HostedSink> sink;
    std::unique_ptr<QueuedSink> queue;  // for a kind that may block
  };
  void StartKind(const SinkKind& kind, const HostConfig& config, Host& host, EventSink& notices);
  void StopOne(Running running, Host& host);

  std::mutex mutex_;
  std::vector<Running> running_;
};
