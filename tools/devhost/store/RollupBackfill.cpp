// SPDX-License-Identifier: Apache-2.0
#include "store/RollupBackfill.h"

#include <sqlite3.h>

#include <cstdio>
#include <ctime>

#include "store/Pruner.h"
#include "store/Rollups.h"

namespace {

using Clock = std::chrono::steady_clock;

// Adds the history rows after id `from` up to `to` to both levels and moves rollup_state on
// (`mark`, with ?1 `to`).
void RollUpRows(sqlite3* db, long long from, long long to, const char* mark) {
  for (const Level level : {Level::kMinute, Level::kHour}) {
    Statement fill(db, BackfillText(level).c_str());
    fill.Bind(1, from).Bind(2, to).Step();
  }
  Statement moved(db, mark);
  moved.Bind(1, to).Step();
}

}  // namespace

std::string BackfillProgress(long long first, long long at, long long end) {
  const double share =
      end > first ? 100.0 * static_cast<double>(at - first) / static_cast<double>(end - first)
                  : 100.0;
  char text[96];
  std::snprintf(text, sizeof text, "%.0f%% (rows up to id %lld of %lld)", share, at, end);
  return text;
}

RollupBackfill::RollupBackfill(std::unique_ptr<StoreConnection> store, Notice notice)
    : store_(std::move(store)), notice_(std::move(notice)) {}

bool RollupBackfill::Start() {
  const RollupState state = ReadRollupState(store_->Handle());
  started_ = true;
  done_ = !state.present || state.Complete();
  if (done_) return false;
  first_ = state.backfilledTo;
  end_ = state.backfillEnd;
  began_ = told_ = Clock::now();
  notice_("rollups: rolling up the history rows with ids " + std::to_string(first_ + 1) + " to " +
          std::to_string(end_) +
          ", stored before this database had rollups, between poll rounds; until that is "
          "done, plots and history --every read the rows themselves");
  return true;
}

bool RollupBackfill::Fold(Clock::time_point deadline) {
  // A minute closes when the clock passes it: until then the folds would find nothing.
  const long long minute = static_cast<long long>(std::time(nullptr)) / 60;
  if (minute == foldedMinute_) return true;
  try {
    for (bool first = true; pacer_.Fits(deadline, first); first = false) {
      if (pacer_.Run(deadline, [this] { return FoldBatch(*store_, kBatchRows); }) < kBatchRows) {
        foldedMinute_ = minute;
        return true;
      }
    }
  } catch (const StoreError& error) {
    notice_(std::string("rollups: ") + error.what() + "; trying again in a minute");
    retry_ = Clock::now() + std::chrono::minutes(1);
  }
  return false;
}

void RollupBackfill::FoldAll(StoreConnection& store) {
  while (FoldBatch(store, kBatchRows) > 0) {
  }
}

bool RollupBackfill::RunUntil(Clock::time_point deadline) {
  if (Clock::now() < retry_) return false;
  if (done_) return Fold(deadline);
  try {
    if (!started_ && !Start()) return done_ && Fold(deadline);
    for (bool first = true; pacer_.Fits(deadline, first); first = false) {
      const long long taken =
          pacer_.Run(deadline, [this] { return BackfillBatch(*store_, kBatchRows); });
      rows_ += taken;
      if (taken == 0) break;
    }
    const RollupState state = ReadRollupState(store_->Handle());
    if (state.Complete()) {
      done_ = true;
      const auto seconds =
          std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - began_).count();
      notice_("rollups: built from " + std::to_string(rows_) + " history rows in " +
              std::to_string(seconds) + " s (longest batch " + Milliseconds(pacer_.Longest()) +
              ", next poll delayed by at most " + Milliseconds(pacer_.Delay()) + ")");
      return Fold(deadline);
    }
    if (Clock::now() - told_ >= kTellEvery) {
      told_ = Clock::now();
      notice_("rollups: " + BackfillProgress(first_, state.backfilledTo, end_) + " rolled up");
    }
  } catch (const StoreError& error) {
    // A lock held elsewhere, a full disk: the batch was rolled back whole; later, again.
    notice_(std::string("rollups: ") + error.what() + "; trying again in a minute");
    retry_ = Clock::now() + std::chrono::minutes(1);
  }
  return false;
}

bool RollupBackfill::RunToEnd(StoreConnection& store,
                              const std::function<bool(const std::string&)>& progress) {
  RollupState state = ReadRollupState(store.Handle());
  const long long first = state.backfilledTo;
  while (state.present && !state.Complete()) {
    BackfillBatch(store, kBatchRows);
    state = ReadRollupState(store.Handle());
    if (!progress(BackfillProgress(first, state.backfilledTo, state.backfillEnd))) return false;
  }
  FoldAll(store);
  return true;
}

long long RollupBackfill::FoldBatch(StoreConnection& store, int batch) {
  sqlite3* db = store.Handle();
  // The state read inside the write transaction: a fold by another connection (devhost prune
  // beside a running host) is seen, a row is never folded twice.
  return store.InTransaction([&]() -> long long {
    Statement state(db,
                    "SELECT folded_to, (SELECT time FROM history ORDER BY id DESC LIMIT 1) "
                    "FROM rollup_state");
    if (!state.Step() || state.Type(1) == SQLITE_NULL) return 0;
    const long long from = state.Integer(0);
    const std::string open = BucketStart(Level::kMinute, state.Text(1));
    Statement upTo(db,
                   "SELECT max(id), count(*) FROM (SELECT id FROM history WHERE id > ?1 AND "
                   "+time < ?2 ORDER BY id LIMIT ?3)");
    upTo.Bind(1, from).Bind(2, open).Bind(3, static_cast<long long>(batch)).Step();
    const long long taken = upTo.Integer(1);
    if (taken == 0) return 0;
    const long long to = upTo.Integer(0);
    RollUpRows(db, from, to, "UPDATE rollup_state SET folded_to = ?1");
    return taken;
  });
}

long long RollupBackfill::BackfillBatch(StoreConnection& store, int batch) {
  sqlite3* db = store.Handle();
  // Everything inside one write transaction, the state read too: a second backfill (devhost
  // prune beside a running host) takes the next batch, never the same one twice.
  return store.InTransaction([&]() -> long long {
    Statement state(db, "SELECT backfilled_to, backfill_end FROM rollup_state");
    if (!state.Step() || state.Integer(0) >= state.Integer(1)) return 0;
    const long long from = state.Integer(0), end = state.Integer(1);
    Statement upTo(db,
                   "SELECT max(id), count(*) FROM (SELECT id FROM history WHERE id > ?1 AND "
                   "id <= ?2 ORDER BY id LIMIT ?3)");
    upTo.Bind(1, from).Bind(2, end).Bind(3, static_cast<long long>(batch)).Step();
    const long long taken = upTo.Integer(1);
    // Rows pruned meanwhile leave nothing to take: the backfill is done.
    const long long to = taken > 0 ? upTo.Integer(0) : end;
    RollUpRows(db, from, to, "UPDATE rollup_state SET backfilled_to = ?1");
    return taken;
  });
}
