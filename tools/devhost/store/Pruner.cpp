// SPDX-License-Identifier: Apache-2.0
#include "store/Pruner.h"

#include <cstdio>

#include "store/TimeRange.h"

namespace {

constexpr std::size_t kRawTables = 5;
const std::optional<EventTable> kTableOrder[kRawTables] = {
    std::nullopt, EventTable::kAlarms, EventTable::kLinks, EventTable::kThresholdValues,
    EventTable::kReports};
const char* const kTableNames[Pruner::kTables] = {
    "history",        "alarm events",   "link events", "threshold values",
    "analog reports", "minute rollups", "hour rollups"};
constexpr Level kRollupOrder[] = {Level::kMinute, Level::kHour};

}  // namespace

std::string Milliseconds(std::chrono::microseconds time) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(time.count()) / 1000.0);
  return text;
}

Pruner::Pruner(Store& store, const RetentionDays& days, std::time_t now) : store_(store) {
  for (std::size_t i = 0; days.raw && i < kRawTables; ++i) {
    cutoffs_[i] = RetentionCutoff(*days.raw, now);
  }
  if (store_.Rollups().present) {
    // History rows go only once folded: the closed minutes are, before any row goes.
    while (store_.FoldRollups(kBatchRows) > 0) {
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
      table_ < kRawTables ? store_.PruneBatch(kTableOrder[table_], cutoffs_[table_], kBatchRows)
                          : store_.PruneRollupBatch(kRollupOrder[table_ - kRawTables],
                                                    cutoffs_[table_], kBatchRows);
  deleted_[table_] += deleted;
  if (deleted < kBatchRows) {
    ++table_;
    SkipUnused();
  }
  return !Done();
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

std::string Retention::ClockDoubt(std::time_t now, const std::string& cutoff) {
  const std::string newest = store_->NewestHistoryTime();
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

// False when none is started now: not due, the clock in doubt, or the store failed.
bool Retention::StartPruner() {
  if (steady_() < nextCheck_) return false;
  nextCheck_ = steady_() + kCheckEvery;
  try {
    // The database was removed while the host ran: prune the new one at the path.
    if (!store_->AtPath()) store_->Reopen();
    // History rows are pruned only once they are in the rollups.
    const RollupState rollups = store_->Rollups();
    if (rollups.present && !rollups.Complete()) {
      nextCheck_ = {};
      return false;
    }
    const std::time_t now = now_();
    auto pruner = std::make_unique<Pruner>(*store_, days_, now);
    const std::string doubt = ClockDoubt(now, pruner->Cutoff());
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
  if (!pruner_ && !StartPruner()) return;
  while (!pruner_->Done() && pacer_.Fits(deadline)) {
    try {
      pacer_.Run(deadline, [this] { return pruner_->Step(); });
    } catch (const StoreError& error) {
      notice_(std::string("retention: ") + error.what() + "; trying again later");
      pruner_.reset();
      nextCheck_ = steady_() + kCheckEvery;
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
  nextCheck_ = steady_() + kCheckEvery;
}
