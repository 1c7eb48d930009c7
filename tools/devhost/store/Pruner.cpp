#include "store/Pruner.h"

#include <cstdio>

#include "store/TimeRange.h"

namespace {

const std::optional<EventTable> kTableOrder[Pruner::kTables] = {
    std::nullopt, EventTable::kAlarms, EventTable::kLinks, EventTable::kThresholdValues,
    EventTable::kReports};
const char* const kTableNames[Pruner::kTables] = {"history", "alarm events", "link events",
                                                  "threshold values", "analog reports"};

std::string Milliseconds(std::chrono::microseconds time) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(time.count()) / 1000.0);
  return text;
}

}  // namespace

bool Pruner::Step() {
  if (Done()) return false;
  const long long deleted = store_.PruneBatch(kTableOrder[table_], cutoff_, kBatchRows);
  deleted_[table_] += deleted;
  if (deleted < kBatchRows) ++table_;
  return !Done();
}

long long Pruner::Deleted() const {
  long long total = 0;
  for (long long count : deleted_) total += count;
  return total;
}

std::string Pruner::Summary() const {
  std::string text;
  for (std::size_t i = 0; i < kTables; ++i) {
    if (deleted_[i] == 0) continue;
    text += (text.empty() ? "" : ", ") + std::string(kTableNames[i]) + " " +
            std::to_string(deleted_[i]);
  }
  return text.empty() ? "nothing" : text;
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
  using Clock = std::chrono::steady_clock;
  if (Clock::now() < nextCheck_) return false;
  nextCheck_ = Clock::now() + kCheckEvery;
  try {
    // The database was removed while the host ran: prune the new one at the path.
    if (!store_->AtPath()) store_->Reopen();
    const std::time_t now = now_();
    const std::string cutoff = RetentionCutoff(days_, now);
    const std::string doubt = ClockDoubt(now, cutoff);
    if (!doubt.empty()) {
      if (!warned_) notice_("clock: " + doubt + "; retention deletes nothing meanwhile");
      warned_ = true;
      return false;
    }
    pruner_ = std::make_unique<Pruner>(*store_, cutoff);
    return true;
  } catch (const StoreError& error) {
    notice_(std::string("retention: ") + error.what() + "; trying again later");
    return false;
  }
}

void Retention::RunUntil(std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  if (!pruner_ && !StartPruner()) return;
  // A batch starts only when one as long as the longest so far (and at least 20 ms) still ends
  // before the next round is due.
  const auto room = std::max<Clock::duration>(longest_, std::chrono::milliseconds(20));
  while (!pruner_->Done() && Clock::now() + room < deadline) {
    const auto started = Clock::now();
    try {
      pruner_->Step();
    } catch (const StoreError& error) {
      notice_(std::string("retention: ") + error.what() + "; trying again later");
      pruner_.reset();
      nextCheck_ = Clock::now() + kCheckEvery;
      return;
    }
    const auto ended = Clock::now();
    longest_ =
        std::max(longest_, std::chrono::duration_cast<std::chrono::microseconds>(ended - started));
    if (ended > deadline) {
      delay_ =
          std::max(delay_, std::chrono::duration_cast<std::chrono::microseconds>(ended - deadline));
    }
  }
  if (!pruner_->Done()) return;
  if (pruner_->Deleted() > 0) {
    notice_("retention: pruned rows before " + IsoFromStoreText(pruner_->Cutoff()) + ": " +
            pruner_->Summary() + " (longest batch " + Milliseconds(longest_) +
            ", next poll delayed by at most " + Milliseconds(delay_) + ")");
  }
  pruner_.reset();
  nextCheck_ = Clock::now() + kCheckEvery;
}
