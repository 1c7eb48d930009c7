// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <algorithm>
#include <ctime>
#include <utility>
#include <vector>

#include "events/Clock.h"
#include "events/Event.h"

// Hands each event to every sink, in the order they were added. Used from one thread (the
// line's); a sink added while an event is being handed out sees the next event first.
class EventFanout {
 public:
  void Add(EventSink& sink) { sinks_.push_back(&sink); }
  void Remove(EventSink& sink) {
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), &sink), sinks_.end());
  }

  void Emit(EventBody body) { Emit(std::move(body), WallNow()); }
  // An event whose body shows its time too (an alarm's "since") carries the same time.
  void Emit(EventBody body, std::time_t time) {
    const HostEvent event{time, std::move(body)};
    // A sink may emit while it takes one (a store that fails says so): walk a copy.
    const std::vector<EventSink*> sinks = sinks_;
    for (EventSink* sink : sinks) sink->Take(event);
  }
  void Flush() {
    for (EventSink* sink : sinks_) sink->Flush();
  }

 private:
  std::vector<EventSink*> sinks_;
};

// Keeps the events it takes, for a command's answer.
class CollectingSink : public EventSink {
 public:
  void Take(const HostEvent& event) override { events_.push_back(event); }
  const std::vector<HostEvent>& Events() const { return events_; }

 private:
  std::vector<HostEvent> events_;
};

// Adds a sink for the lifetime of the scope.
class ScopedSink {
 public:
  ScopedSink(EventFanout& fanout, EventSink& sink) : fanout_(fanout), sink_(sink) {
    fanout_.Add(sink_);
  }
  ~ScopedSink() { fanout_.Remove(sink_); }
  ScopedSink(const ScopedSink&) = delete;
  ScopedSink& operator=(const ScopedSink&) = delete;

 private:
  EventFanout& fanout_;
  EventSink& sink_;
};
