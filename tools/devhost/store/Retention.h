// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "events/Clock.h"
#include "store/BatchPacer.h"
#include "store/Pruner.h"
#include "store/StoreConnection.h"

// Whether the time of day may be trusted to delete rows by. Not while the kernel says the clock
// is not synchronised (unless the configuration trusts it all the same: a battery-backed clock
// without NTP), nor at a reading where it moved against the steady clock by more than
// kJumpTolerance since the one before (NTP stepping a board's clock at boot, a person setting
// it). What was stamped meanwhile may carry any time: Suspect() is the span it may lie in.
class ClockTrust {
 public:
  static constexpr long long kJumpTolerance = 60;

  ClockTrust(bool trustUnsynchronised, const ClockReading& start);
  // Why `now` may not be trusted; empty when it may.
  std::string Doubt(const ClockReading& now);
  // The stamps the clock in doubt may have written, as it gave them: from the start (or the
  // last step before) to what it said just before the last reading.
  std::pair<std::time_t, std::time_t> Suspect() const { return {suspectFrom_, suspectTo_}; }

 private:
  bool trustUnsynchronised_;
  long long offset_;          // wall minus steady seconds at the last reading
  std::time_t segmentStart_;  // the wall time at the start, or right after the last step
  bool inDoubt_ = false;      // since the last trusted reading
  std::time_t suspectFrom_ = 0, suspectTo_ = 0;
};

// The longest a level is kept: how long a span stamped by a clock in doubt is held.
int LongestRetention(const RetentionDays& days);
// Why the clock may not be trusted to prune `store` with a cutoff of `cutoff` at `now`: the
// cutoff would take even the newest row stamped up to now. Empty when it may.
std::string StoredTimeDoubt(StoreConnection& store, std::time_t now, const std::string& cutoff);
// What a person is told of the history rows stamped later than `now` (FutureRows); nothing when
// there are none. Throws StoreError.
std::optional<std::string> RowsStampedLater(StoreConnection& store, std::time_t now);

// The running host's retention: after a poll round, while the next batch still fits in the time
// before the next round, prunes on a connection of its own. Checks again every few minutes once
// all is pruned. Runs on one line's thread only.
// It deletes nothing while the clock is in doubt (a board without a real-time clock may start
// days off, NTP steps it later): while ClockTrust says so, or when the cutoff would take even the
// newest row stamped up to now. History rows later than now (FutureRows) are told once and kept;
// the rest is pruned. It warns once. The span a clock in
// doubt may have stamped is held in the database (retention_holds) for the longest retention
// once the clock is trusted again: no prune, by this host or a later one, takes those rows.
class Retention {
 public:
  using Notice = std::function<void(const std::string&)>;
  static constexpr std::chrono::minutes kCheckEvery{10};

  // The clock is read through ReadClock() (tests replace its source).
  Retention(std::unique_ptr<StoreConnection> store, RetentionDays days, Notice notice,
            bool trustUnsynchronised = false)
      : store_(std::move(store)),
        days_(days),
        notice_(std::move(notice)),
        trust_(trustUnsynchronised, ReadClock()) {}

  // Prunes while a batch fits before `deadline`.
  void RunUntil(std::chrono::steady_clock::time_point deadline);
  // The longest batch so far: how long a poll cycle may have to wait for the database.
  std::chrono::microseconds LongestBatch() const { return pacer_.Longest(); }
  // The most a round started late because pruning was still busy: the poll delay it caused.
  std::chrono::microseconds LongestDelay() const { return pacer_.Delay(); }

 private:
  bool StartPruner();
  // Reads the clock after every round: a step is seen at once, and what the clock stamped
  // before it is held in the database before any prune could take it.
  void WatchClock();
  // "retention deletes nothing meanwhile", for what this retention would prune.
  std::string Held() const;
  // Holds the span in doubt so far; throws StoreError.
  void HoldSuspectSpan();

  std::unique_ptr<StoreConnection> store_;
  RetentionDays days_;
  Notice notice_;
  ClockTrust trust_;
  std::string clockDoubt_;  // of the last reading; empty: trusted
  bool stepSeen_ = false;   // since the last check
  bool warned_ = false, clockWarned_ = false, futureWarned_ = false;
  std::unique_ptr<Pruner> pruner_;
  std::chrono::steady_clock::time_point nextCheck_{};
  BatchPacer pacer_;
};
