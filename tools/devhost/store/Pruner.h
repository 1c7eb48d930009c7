// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <chrono>
#include <ctime>
#include <optional>
#include <string>

#include "store/Rollups.h"
#include "store/StoreConnection.h"

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

  Pruner(StoreConnection& store, const RetentionDays& days, std::time_t now);

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
  // Deletes up to `batch` of the oldest rows before `cutoff` (store text) from history
  // (table empty) or an event table, in one short transaction; the rows deleted. Never touches
  // last_record or device_errors, and keeps the last event of each alarm.
  long long PruneBatch(std::optional<EventTable> table, const std::string& cutoff, int batch);
  // The same for the rollups of a level: buckets that begin before `cutoff`.
  long long PruneRollupBatch(Level level, const std::string& cutoff, int batch);

  StoreConnection& store_;
  std::array<std::string, kTables> cutoffs_;  // empty: the table is not pruned
  std::size_t table_ = 0;
  std::array<long long, kTables> deleted_{};
};
