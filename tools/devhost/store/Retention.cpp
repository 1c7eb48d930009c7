// SPDX-License-Identifier: Apache-2.0
#include "store/Retention.h"

#include <algorithm>

#include "events/TimeRange.h"
#include "store/FutureRows.h"
#include "store/RetentionHolds.h"
#include "store/RollupBackfill.h"
#include "store/StoreReader.h"

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
  // Rows stamped later than now are held (FutureRows): the newest is the newest up to now.
  Statement newestRow(store.Handle(), "SELECT max(time) FROM history WHERE time <= ?1");
  newestRow.Bind(1, StoreTimeText(now));
  const std::string newest = newestRow.Step() ? newestRow.Text(0) : std::string();
  if (newest.empty()) return {};
  if (cutoff > newest) {
    return "the cutoff " + IsoFromStoreText(cutoff) + " would remove the newest history row (" +
           IsoFromStoreText(newest) + ")";
  }
  return {};
}

std::string Retention::Held() const {
  // Without retentionDays history rows are never pruned: only the rollups wait.
  return days_.raw ? "retention deletes nothing meanwhile"
                   : "the rollups' retention deletes nothing meanwhile (history rows are kept "
                     "for good: no retentionDays)";
}

std::optional<std::string> RowsStampedLater(StoreConnection& store, std::time_t now) {
  const FutureRows future = FindFutureRows(store, now);
  if (future.count == 0) return std::nullopt;
  return FutureRowsText(future, now) +
         ", stamped by a clock that was ahead: they are kept, retention goes on with the rest "
         "(devhost prune --future removes them)";
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
    notice_("clock: " + doubt + "; " + Held() + " and keeps the rows stamped from " +
            IsoTimeText(from) + " to " + IsoTimeText(to));
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
    // A file cut short is written no more (the line's store says why).
    if (store_->CutShort()) return false;
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
    const auto later = RowsStampedLater(*store_, now);
    if (later && !futureWarned_) notice_("clock: " + *later);
    futureWarned_ = futureWarned_ || later;
    RetentionHolds holds(*store_);
    holds.Ensure();
    holds.Settle(StoreTimeText(now + 86400LL * LongestRetention(days_)), StoreTimeText(now));
    auto pruner = std::make_unique<Pruner>(*store_, days_, now);
    const std::string doubt = StoredTimeDoubt(*store_, now, pruner->Cutoff());
    if (!doubt.empty()) {
      if (!warned_) notice_("clock: " + doubt + "; " + Held());
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
  for (bool first = true; !pruner_->Done() && pacer_.Fits(deadline, first); first = false) {
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
