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

void Retention::RunUntil(std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  if (!pruner_) {
    if (Clock::now() < nextCheck_) return;
    pruner_ = std::make_unique<Pruner>(*store_, RetentionCutoff(days_, std::time(nullptr)));
  }
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
