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
  Statement statement(
      store_.Handle(),
      ("DELETE FROM " + table + " WHERE (data_id, time) IN (SELECT data_id, time FROM " + table +
       " AS bucket WHERE time < ?1 AND NOT EXISTS (SELECT 1 FROM retention_holds " +
       "AS held WHERE bucket.time BETWEEN held.kept_from AND held.kept_to) ORDER BY time " +
       "LIMIT ?2)")
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

namespace {

long long SteadySeconds(const ClockReading& reading) {
  return std::chrono::duration_cast<std::chrono::seconds>(reading.steady.time_since_epoch())
      .count();
}

}  // namespace

ClockTrust::ClockTrust(bool trustUnsynchronised, const ClockReading& start)
    : trustUnsynchronised_(trustUnsynchronised),
      offset_(start.wall - SteadySeconds(start)),
      segmentStart_(start.wall) {}

std::string ClockTrust::Doubt(const ClockReading& now) {
  const long long steady = SteadySeconds(now);
  // What the clock would say had nobody stepped it since the last reading.
  const std::time_t expected = static_cast<std::time_t>(offset_ + steady);
  const long long moved = now.wall - expected;
  offset_ = now.wall - steady;
  std::string doubt;
  if (moved > kJumpTolerance || moved < -kJumpTolerance) {
    doubt = "the clock moved " + std::string(moved > 0 ? "forward " : "back ") +
            std::to_string(moved > 0 ? moved : -moved) + " s against the steady clock";
  } else if (now.synchronised == false && !trustUnsynchronised_) {
    doubt = "the system clock is not synchronised (adjtimex)";
  }
  const std::time_t segmentStart = segmentStart_;
  // After a step the clock is another one: what it stamps from now on is judged on its own.
  if (!doubt.empty() && doubt.find("moved") != std::string::npos) segmentStart_ = now.wall;
  if (doubt.empty()) {
    inDoubt_ = false;
    return doubt;
  }
  // Whatever the clock stamped since the run began (or since the last step), as it read then:
  // a clock found wrong now was wrong all along. One second more each side: stamps are whole
  // seconds, steady time is not.
  const std::time_t from = std::min(segmentStart, expected) - 1;
  const std::time_t to = std::max(segmentStart, expected) + 1;
  suspectFrom_ = inDoubt_ ? std::min(suspectFrom_, from) : from;
  suspectTo_ = inDoubt_ ? std::max(suspectTo_, to) : to;
  inDoubt_ = true;
  return doubt;
}

int LongestRetention(const RetentionDays& days) {
  return std::max({days.raw.value_or(0), days.minutes, days.hours});
}

std::string StoredTimeDoubt(StoreConnection& store, std::time_t now, const std::string& cutoff) {
  const std::string newest = StoreReader(store).NewestHistoryTime();
  if (newest.empty()) return {};
  if (newest > StoreTimeText(now)) {
    return "the newest history row (" + IsoFromStoreText(newest) + ") is later than now (" +
           IsoTimeText(now) + ")";
  }
  if (cutoff > newest) {
    return "the cutoff " + IsoFromStoreText(cutoff) + " would remove the newest history row (" +
           IsoFromStoreText(newest) + ")";
  }
  return {};
}

void Retention::HoldSuspectSpan() {
  const auto [from, to] = trust_.Suspect();
  RetentionHolds(*store_).HoldSpan(StoreTimeText(from), StoreTimeText(to));
}

void Retention::WatchClock() {
  const std::string doubt = trust_.Doubt(ReadClock());
  const bool stepped = doubt.find("moved") != std::string::npos;
  if (!doubt.empty() && (stepped || !clockWarned_)) {
    const auto [from, to] = trust_.Suspect();
    notice_("clock: " + doubt + "; retention deletes nothing meanwhile and keeps the rows " +
            "stamped from " + IsoTimeText(from) + " to " + IsoTimeText(to));
    clockWarned_ = true;
  }
  if (stepped) {
    stepSeen_ = true;
    // No prune in flight goes on, nor starts before the next check.
    pruner_.reset();
    nextCheck_ = SteadyNow() + kCheckEvery;
    try {
      HoldSuspectSpan();
    } catch (const StoreError& error) {
      notice_(std::string("retention: ") + error.what() + "; trying again later");
    }
  }
  clockDoubt_ = doubt;
}

// False when none is started now: not due, the clock in doubt, or the store failed.
bool Retention::StartPruner() {
  if (SteadyNow() < nextCheck_) return false;
  nextCheck_ = SteadyNow() + kCheckEvery;
  try {
    // The database was removed while the host ran: prune the new one at the path.
    if (!store_->AtPath()) store_->Reopen();
    // History rows are pruned only once they are in the rollups.
    const RollupState rollups = ReadRollupState(store_->Handle());
    if (rollups.present && !rollups.Complete()) {
      nextCheck_ = {};
      return false;
    }
    // Nothing is deleted at the first check after a step, nor while the clock is in doubt.
    if (stepSeen_ || !clockDoubt_.empty()) {
      HoldSuspectSpan();
      stepSeen_ = false;
      return false;
    }
    const std::time_t now = WallNow();
    RetentionHolds holds(*store_);
    holds.Ensure();
    holds.Settle(StoreTimeText(now + 86400LL * LongestRetention(days_)), StoreTimeText(now));
    auto pruner = std::make_unique<Pruner>(*store_, days_, now);
    const std::string doubt = StoredTimeDoubt(*store_, now, pruner->Cutoff());
    if (!doubt.empty()) {
      if (!warned_) notice_("clock: " + doubt + "; retention deletes nothing meanwhile");
      warned_ = true;
      return false;
    }
    pruner_ = std::move(pruner);
    return true;
  } catch (const StoreError& error) {
    notice_(std::string("retention: ") + error.what() + "; trying again later");
    return false;
  }
}

void Retention::RunUntil(std::chrono::steady_clock::time_point deadline) {
  WatchClock();
  if (!pruner_ && !StartPruner()) return;
  while (!pruner_->Done() && pacer_.Fits(deadline)) {
    try {
      pacer_.Run(deadline, [this] { return pruner_->Step(); });
    } catch (const StoreError& error) {
      notice_(std::string("retention: ") + error.what() + "; trying again later");
      pruner_.reset();
      nextCheck_ = SteadyNow() + kCheckEvery;
      return;
    }
  }
  if (!pruner_->Done()) return;
  if (pruner_->Deleted() > 0) {
    notice_("retention: pruned " + pruner_->Summary() + " (longest batch " +
            Milliseconds(pacer_.Longest()) + ", next poll delayed by at most " +
            Milliseconds(pacer_.Delay()) + ")");
  }
  pruner_.reset();
  nextCheck_ = SteadyNow() + kCheckEvery;
}
