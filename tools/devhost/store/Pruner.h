// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "store/BatchPacer.h"
#include "store/Store.h"

// How long each level is kept, in days: the history rows and events (`raw`, retentionDays;
// nothing: for ever), the minute and the hour rollups.
struct RetentionDays {
  std::optional<int> raw;
  int minutes = 0, hours = 0;
};

// The cutoff of a retention of `days` days before `now`, in the store's text.
std::string RetentionCutoff(int days, std::time_t now);
// "8.8 ms".
std::string Milliseconds(std::chrono::microseconds time);

// Deletes the rows older than their level's cutoff, table after table, a small batch per step:
// each step is one short write transaction, so a poll cycle writing to the same database waits
// for one batch at most. device_records and device_errors are never touched, nor the newest
// history row of a device (its last record) or the last event of any alarm. History rows go only
// once folded into the rollups (the closed minutes are folded first). Rollups are pruned only
// where the database has them.
class Pruner {
 public:
  static constexpr int kBatchRows = 500;
  // history, the event tables, the minute and the hour rollups
  static constexpr std::size_t kTables = 7;

  Pruner(Store& store, const RetentionDays& days, std::time_t now);

  // One batch; false once every table is done.
  bool Step();
  bool Done() const { return table_ >= kTables; }
  long long Deleted() const;
  // "rows before 2026-01-01T00:00:00: history 1200, alarm events 3; before ...: minute
  // rollups 40" for the tables that lost rows; "nothing" when none did.
  std::string Summary() const;
  // The cutoff of the history rows (else of the finest level pruned).
  const std::string& Cutoff() const;

 private:
  void SkipUnused();

  Store& store_;
  std::array<std::string, kTables> cutoffs_;  // empty: the table is not pruned
  std::size_t table_ = 0;
  std::array<long long, kTables> deleted_{};
};

// The running host's retention: after a poll round, while the next batch still fits in the time
// before the next round, prunes on a connection of its own. Checks again every few minutes once
// all is pruned. Runs on one line's thread only.
// It deletes nothing while the clock is in doubt (a board without a real-time clock may start
// days off): while history holds a row later than now, or when the cutoff would take even the
// newest row. It warns once.
class Retention {
 public:
  using Notice = std::function<void(const std::string&)>;
  using WallClock = std::function<std::time_t()>;
  using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr std::chrono::minutes kCheckEvery{10};

  // `now` is the time of day, `steady` the time the checks are counted on (tests set both).
  Retention(
      std::unique_ptr<Store> store, RetentionDays days, Notice notice,
      WallClock now = [] { return std::time(nullptr); },
      SteadyClock steady = [] { return std::chrono::steady_clock::now(); })
      : store_(std::move(store)),
        days_(days),
        notice_(std::move(notice)),
        now_(std::move(now)),
        steady_(std::move(steady)) {}

  // Prunes while a batch fits before `deadline`.
  void RunUntil(std::chrono::steady_clock::time_point deadline);
  // The longest batch so far: how long a poll cycle may have to wait for the database.
  std::chrono::microseconds LongestBatch() const { return pacer_.Longest(); }
  // The most a round started late because pruning was still busy: the poll delay it caused.
  std::chrono::microseconds LongestDelay() const { return pacer_.Delay(); }

 private:
  // Why the clock is in doubt for a cutoff at `now`; empty when it is not.
  std::string ClockDoubt(std::time_t now, const std::string& cutoff);
  bool StartPruner();

  std::unique_ptr<Store> store_;
  RetentionDays days_;
  Notice notice_;
  WallClock now_;
  SteadyClock steady_;
  bool warned_ = false;
  std::unique_ptr<Pruner> pruner_;
  std::chrono::steady_clock::time_point nextCheck_{};
  BatchPacer pacer_;
};
