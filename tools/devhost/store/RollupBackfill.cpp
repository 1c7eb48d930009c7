// SPDX-License-Identifier: Apache-2.0
#include "store/RollupBackfill.h"

#include <cstdio>
#include <ctime>

#include "store/Pruner.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

std::string BackfillProgress(long long first, long long at, long long end) {
  const double share =
      end > first ? 100.0 * static_cast<double>(at - first) / static_cast<double>(end - first)
                  : 100.0;
  char text[96];
  std::snprintf(text, sizeof text, "%.0f%% (rows up to id %lld of %lld)", share, at, end);
  return text;
}

RollupBackfill::RollupBackfill(std::unique_ptr<Store> store, Notice notice)
    : store_(std::move(store)), notice_(std::move(notice)) {}

bool RollupBackfill::Start() {
  const RollupState state = store_->Rollups();
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
    while (pacer_.Fits(deadline)) {
      if (pacer_.Run(deadline, [this] { return store_->FoldRollups(kBatchRows); }) < kBatchRows) {
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

void RollupBackfill::FoldAll(Store& store) {
  while (store.FoldRollups(kBatchRows) > 0) {
  }
}

bool RollupBackfill::RunUntil(Clock::time_point deadline) {
  if (Clock::now() < retry_) return false;
  if (done_) return Fold(deadline);
  try {
    if (!started_ && !Start()) return done_ && Fold(deadline);
    while (pacer_.Fits(deadline)) {
      const long long taken =
          pacer_.Run(deadline, [this] { return store_->BackfillRollups(kBatchRows); });
      rows_ += taken;
      if (taken == 0) break;
    }
    const RollupState state = store_->Rollups();
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

bool RollupBackfill::RunToEnd(Store& store,
                              const std::function<bool(const std::string&)>& progress) {
  RollupState state = store.Rollups();
  const long long first = state.backfilledTo;
  while (state.present && !state.Complete()) {
    store.BackfillRollups(kBatchRows);
    state = store.Rollups();
    if (!progress(BackfillProgress(first, state.backfilledTo, state.backfillEnd))) return false;
  }
  FoldAll(store);
  return true;
}
