#pragma once

#include <functional>
#include <string>
#include <vector>

#include "events/Event.h"
#include "store/Store.h"
#include "store/StoreOutage.h"

// Keeps a line's events in its store: one transaction per unit of work (begun with the first
// event that writes, committed at Flush), so a killed process loses at most the cycle in flight.
// A write that fails (a full disk) rolls the unit's transaction back and the unit's later writes
// are skipped: a cycle is stored whole or not at all, and the next one begins clean. Failures
// are never thrown into the line: they go to `onFailure` as StoreOutage lets them through (the
// first at once, then at most one a minute), and `onNotice` hears when storing works again.
// The MQTT bridge's counts come once, after the last cycle, and are kept on their own at the
// next Flush; should that fail, `onNotice` hears it.
class StoreSink : public EventSink {
 public:
  using FailureHandler = std::function<void(uint32_t dataId, const std::string& what)>;
  using NoticeHandler = std::function<void(const std::string& text)>;

  using Now = std::function<StoreOutage::Clock::time_point()>;

  StoreSink(Store& store, FailureHandler onFailure, NoticeHandler onNotice = {})
      : store_(store), onFailure_(std::move(onFailure)), onNotice_(std::move(onNotice)) {}

  // The outage's minute is counted on this clock (tests step it).
  void SetClock(Now now) { now_ = std::move(now); }

  void Take(const HostEvent& event) override;
  void Flush() override;

 private:
  struct Writer;
  void Fail(uint32_t dataId, const std::string& what);
  void EndUnit();
  void StoreSummaries();

  Store& store_;
  FailureHandler onFailure_;
  NoticeHandler onNotice_;
  Now now_ = StoreOutage::Clock::now;
  StoreOutage outage_;
  unsigned long writes_ = 0;          // writes taken in this unit of work
  bool failed_ = false;               // this unit's transaction failed and was rolled back
  std::vector<HostEvent> summaries_;  // MQTT counts waiting for the next Flush
};
