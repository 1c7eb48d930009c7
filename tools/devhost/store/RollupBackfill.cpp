// SPDX-License-Identifier: Apache-2.0
#include "store/RollupBackfill.h"

#include <cstdio>

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

bool RollupBackfill::RunUntil(Clock::time_point deadline) {
  if (done_) return true;
  if (Clock::now() < retry_) return false;
  try {
    if (!started_ && !Start()) return done_;
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
      return true;
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
  return true;
}
