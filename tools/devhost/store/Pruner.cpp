// SPDX-License-Identifier: Apache-2.0
#include "store/Pruner.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>

#include "events/TimeRange.h"
#include "store/RetentionHolds.h"
#include "store/RollupBackfill.h"
#include "store/StoreReader.h"

namespace {

constexpr std::size_t kRawTables = 5;
const std::optional<EventTable> kTableOrder[kRawTables] = {
    std::nullopt, EventTable::kAlarms, EventTable::kLinks, EventTable::kThresholdValues,
    EventTable::kReports};
const char* const kTableNames[Pruner::kTables] = {
    "history",        "alarm events",   "link events", "threshold values",
    "analog reports", "minute rollups", "hour rollups"};
constexpr Level kRollupOrder[] = {Level::kMinute, Level::kHour};

// A row's stamp lies in no span that retention holds (ClockTrust).
#define HELD_NOT                                                                         \
  "NOT EXISTS (SELECT 1 FROM retention_holds AS held WHERE time BETWEEN held.kept_from " \
  "AND held.kept_to)"

// Oldest first, a batch at a time; only rows folded into the rollups (up to ?3), never a
// device's newest row (its last record). The last event of each alarm stays, since the host
// restores its alarm states from it. Rows stamped inside a held span stay whatever their stamp
// says. In the order of kTableOrder.
const char* const kPruneTexts[kRawTables] = {
    "DELETE FROM history WHERE id IN (SELECT id FROM history AS old WHERE time < ?1 AND id <= ?3 "
    "AND id < (SELECT max(id) FROM history AS newer WHERE newer.data_id = old.data_id) "
    "AND " HELD_NOT " ORDER BY time LIMIT ?2)",
    "DELETE FROM alarm_events WHERE id IN (SELECT id FROM alarm_events AS old WHERE time < ?1 "
    "AND " HELD_NOT
    " AND EXISTS (SELECT 1 FROM alarm_events AS newer WHERE newer.data_id = "
    "old.data_id AND newer.alarm_id = old.alarm_id AND newer.id > old.id) ORDER BY time LIMIT ?2)",
    "DELETE FROM link_events WHERE id IN "
    "(SELECT id FROM link_events WHERE time < ?1 AND " HELD_NOT " ORDER BY time LIMIT ?2)",
    "DELETE FROM threshold_values WHERE id IN "
    "(SELECT id FROM threshold_values WHERE time < ?1 AND " HELD_NOT " ORDER BY time LIMIT ?2)",
    "DELETE FROM analog_reports WHERE id IN "
    "(SELECT id FROM analog_reports WHERE time < ?1 AND " HELD_NOT " ORDER BY time LIMIT ?2)",
};

#undef HELD_NOT

}  // namespace

std::string Milliseconds(std::chrono::microseconds time) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(time.count()) / 1000.0);
  return text;
}

Pruner::Pruner(StoreConnection& store, const RetentionDays& days, std::time_t now) : store_(store) {
  // Its deletes skip the spans retention holds.
  RetentionHolds(store_).Ensure();
  for (std::size_t i = 0; days.raw && i < kRawTables; ++i) {
    cutoffs_[i] = RetentionCutoff(*days.raw, now);
  }
  if (ReadRollupState(store_.Handle()).present) {
    // History rows go only once folded: the closed minutes are, before any row goes.
    while (RollupBackfill::FoldBatch(store_, kBatchRows) > 0) {
    }
    cutoffs_[kRawTables] = RetentionCutoff(days.minutes, now);
    cutoffs_[kRawTables + 1] = RetentionCutoff(days.hours, now);
  }
  SkipUnused();
}

void Pruner::SkipUnused() {
  while (!Done() && cutoffs_[table_].empty()) ++table_;
}

bool Pruner::Step() {
  if (Done()) return false;
  const long long deleted =
      table_ < kRawTables
          ? PruneBatch(kTableOrder[table_], cutoffs_[table_], kBatchRows)
          : PruneRollupBatch(kRollupOrder[table_ - kRawTables], cutoffs_[table_], kBatchRows);
  deleted_[table_] += deleted;
  if (deleted < kBatchRows) {
    ++table_;
    SkipUnused();
  }
  return !Done();
}

long long Pruner::PruneBatch(std::optional<EventTable> table, const std::string& cutoff,
                             int batch) {
  std::size_t index = 0;
  while (index + 1 < kRawTables && kTableOrder[index] != table) ++index;
  const bool history = !table;
  // History rows go only once they are in the rollups.
  const long long folded = history ? ReadRollupState(store_.Handle()).foldedTo : 0;
  return store_.InTransaction([&] {
    const auto statement = store_.Kept(kPruneTexts[index]);
    statement->Bind(1, cutoff).Bind(2, static_cast<long long>(batch));
    if (history) statement->Bind(3, folded);
    statement->Step();
    return static_cast<long long>(sqlite3_changes(store_.Handle()));
  });
}

long long Pruner::PruneRollupBatch(Level level, const std::string& cutoff, int batch) {
  const std::string table = FactsOf(level).table;
  const std::string length = std::to_string(FactsOf(level).seconds);
  // A bucket stays while it holds a held row: its span [start, start + length) meets the
  // held one, wherever in the bucket that begins.
  Statement statement(
      store_.Handle(),
      ("DELETE FROM " + table + " WHERE (data_id, time) IN (SELECT data_id, time FROM " + table +
       " AS bucket WHERE time < ?1 AND NOT EXISTS (SELECT 1 FROM retention_holds AS held " +
       "WHERE held.kept_to >= bucket.time AND held.kept_from < datetime(bucket.time, '+" + length +
       " seconds')) ORDER BY time LIMIT ?2)")
          .c_str());
  return store_.InTransaction([&] {
    statement.Bind(1, cutoff).Bind(2, static_cast<long long>(batch)).Step();
    return static_cast<long long>(sqlite3_changes(store_.Handle()));
  });
}

const std::string& Pruner::Cutoff() const {
  for (const std::string& cutoff : cutoffs_) {
    if (!cutoff.empty()) return cutoff;
  }
  return cutoffs_.front();
}

long long Pruner::Deleted() const {
  long long total = 0;
  for (long long count : deleted_) total += count;
  return total;
}

std::string Pruner::Summary() const {
  std::string text;
  const std::string* cutoff = nullptr;
  for (std::size_t i = 0; i < kTables; ++i) {
    if (deleted_[i] == 0) continue;
    if (cutoff == nullptr || *cutoff != cutoffs_[i]) {
      cutoff = &cutoffs_[i];
      text += (text.empty() ? "rows before " : "; before ") + IsoFromStoreText(*cutoff) + ": ";
    } else {
      text += ", ";
    }
    text += std::string(kTableNames[i]) + " " + std::to_string(deleted_[i]);
  }
  return text.empty() ? "rows before " + IsoFromStoreText(Cutoff()) + ": nothing" : text;
}

std::string RetentionCutoff(int days, std::time_t now) {
  return StoreTimeText(now - static_cast<std::time_t>(days) * 86400);
}
