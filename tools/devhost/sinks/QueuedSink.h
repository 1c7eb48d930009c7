// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>

#include "events/Event.h"
#include "sinks/SinkKind.h"

// Puts a sink that may block off the lines' threads: Take only queues (a short lock), and a
// thread of the queue's own hands the events on in order. The queue is bounded: when it is full
// a device's state (its cycle) replaces that device's queued state (superseded), else the oldest
// queued event that is neither an alarm nor a link change goes (dropped). Alarms and link
// changes are never superseded; past twice the bound even they are dropped, so memory stays
// bounded whatever the sink does.
class QueuedSink : public EventSink {
 public:
  QueuedSink(EventSink& target, std::size_t limit);
  ~QueuedSink() override;
  QueuedSink(const QueuedSink&) = delete;
  QueuedSink& operator=(const QueuedSink&) = delete;

  void Start();
  // Waits at most `limit` for the queue to empty, then for the event being handed on. False when
  // the sink still holds it: the thread is left to end by itself, and this queue (with its
  // target) must be kept alive.
  bool Stop(std::chrono::milliseconds limit);
  QueueLosses Losses();
  std::size_t Size();

  void Take(const HostEvent& event) override;

 private:
  void Run();
  // Makes room for `event` in a full queue; false when it is the one to go.
  bool MakeRoom(const HostEvent& event);

  EventSink& target_;
  const std::size_t limit_;
  std::thread worker_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<HostEvent> events_;
  QueueLosses losses_;
  bool busy_ = false;  // an event is being handed on
  bool stopping_ = false;
  bool finished_ = false;
};
