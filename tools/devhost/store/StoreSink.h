#pragma once

#include <functional>
#include <string>

#include "events/Event.h"
#include "store/Store.h"

// Keeps a line's events in its store: one transaction per unit of work (begun with the first
// event that writes, committed at Flush), so a killed process loses at most the cycle in flight.
// A store that fails is reported through `onFailure`, never thrown into the line.
class StoreSink : public EventSink {
 public:
  using FailureHandler = std::function<void(uint32_t dataId, const std::string& what)>;

  StoreSink(Store& store, FailureHandler onFailure)
      : store_(store), onFailure_(std::move(onFailure)) {}

  void Take(const HostEvent& event) override;
  void Flush() override;

 private:
  struct Writer;
  void Guarded(uint32_t dataId, const std::function<void()>& write);

  Store& store_;
  FailureHandler onFailure_;
};
