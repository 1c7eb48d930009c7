// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "events/Event.h"
#include "store/CycleWriter.h"
#include "store/StoreOutage.h"

// Keeps a line's events in its store: one transaction per unit of work (begun with the first
// event that writes, committed at Flush), so a killed process loses at most the cycle in flight.
// A write that fails (a full disk) rolls the unit's transaction back and the unit's later writes
// are skipped: a cycle is stored whole or not at all, and the next one begins clean. Failures
// are never thrown into the line: they go to `onFailure` as StoreOutage lets them through (the
// first at once, then at most one a minute), and `onNotice` hears when storing works again.
// The MQTT bridge's counts come once, after the last cycle, and are kept on their own at the
// next Flush; should that fail, `onNotice` hears it.
// Every few seconds, before a unit's first write, the sink checks that the path still leads to
// the open file: a database removed (or replaced) while the host runs is reported as a failure,
// with the cycles that went with it, and a new one is made at the path. A file emptied or cut
// short in place (StoreConnection::CutShort) is told the same way, and nothing more is written
// to it. A failed unit empties the write-ahead log into the database (at most once every few
// seconds): on a small disk the log may be what filled it, and a host that could store again
// does.
class StoreSink : public EventSink {
 public:
  static constexpr std::chrono::seconds kCheckPathEvery{5};

  using FailureHandler = std::function<void(uint32_t dataId, const std::string& what)>;
  using NoticeHandler = std::function<void(const std::string& text)>;

  using Now = std::function<StoreOutage::Clock::time_point()>;

  StoreSink(CycleWriter& store, FailureHandler onFailure, NoticeHandler onNotice = {})
      : store_(store), onFailure_(std::move(onFailure)), onNotice_(std::move(onNotice)) {}

  // The outage's minute is counted on this clock (tests step it).
  void SetClock(Now now) { now_ = std::move(now); }

  void Take(const HostEvent& event) override;
  void Flush() override;

  // Cycles not stored in this run: failed, or stored in a file that was removed since.
  unsigned long NotStored() const { return notStored_; }
  // What a person is told at exit about the cycles not stored; nothing when all were.
  std::optional<std::string> RunLosses() const;

 private:
  struct Writer;
  void Fail(uint32_t dataId, const std::string& what, bool atOnce = false);
  void FreeLog(StoreOutage::Clock::time_point now);
  void EndUnit();
  void StoreSummaries();
  // Throws StoreError while no database is at the path.
  void FollowPath(uint32_t dataId);

  CycleWriter& store_;
  FailureHandler onFailure_;
  NoticeHandler onNotice_;
  Now now_ = StoreOutage::Clock::now;
  StoreOutage outage_;
  unsigned long writes_ = 0;          // writes taken in this unit of work
  bool failed_ = false;               // this unit's transaction failed and was rolled back
  std::vector<HostEvent> summaries_;  // MQTT counts waiting for the next Flush
  std::optional<StoreOutage::Clock::time_point> lastCheck_;
  StoreOutage::Clock::time_point nextReopen_{};
  std::optional<StoreOutage::Clock::time_point> lastFreed_;
  bool detached_ = false;                // the file was removed; no new one made yet
  std::optional<std::string> cutShort_;  // what was found when the file was cut short
  unsigned long storedSinceCheck_ = 0;   // cycles that would go with the file
  unsigned long notStored_ = 0;
  bool failing_ = false;  // the last unit was not stored
  std::string lastFailure_;
};
