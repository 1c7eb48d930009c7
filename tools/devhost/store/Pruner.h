#pragma once

#include <array>
#include <chrono>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "store/Store.h"

// Deletes the rows older than a cutoff, table after table, a small batch per step: each step is
// one short write transaction, so a poll cycle writing to the same database waits for one batch
// at most. last_record and device_errors are never touched, nor the last event of any alarm.
class Pruner {
 public:
  static constexpr int kBatchRows = 500;
  static constexpr std::size_t kTables = 5;  // history, then the event tables

  Pruner(Store& store, std::string cutoff) : store_(store), cutoff_(std::move(cutoff)) {}

  // One batch; false once every table is done.
  bool Step();
  bool Done() const { return table_ >= kTables; }
  long long Deleted() const;
  // "history 1200, alarm events 3, ..." for the tables that lost rows.
  std::string Summary() const;
  const std::string& Cutoff() const { return cutoff_; }

 private:
  Store& store_;
  std::string cutoff_;
  std::size_t table_ = 0;
  std::array<long long, kTables> deleted_{};
};

// The cutoff of a retention of `days` days before `now`, in the store's text.
std::string RetentionCutoff(int days, std::time_t now);

// The running host's retention: after a poll round, while the next batch still fits in the time
// before the next round, prunes on a connection of its own. Checks again every few minutes once
// all is pruned. Runs on one line's thread only.
// It deletes nothing while the clock is in doubt (a board without a real-time clock may start
// days off): while history holds a row later than now, or when the cutoff would take even the
// newest row. It warns once.
class Retention {
 public:
  using Notice = std::function<void(const std::string&)>;
  using WallClock = std::function<std::time_t()>;
  static constexpr std::chrono::minutes kCheckEvery{10};

  // `now` is the time of day (tests set it).
  Retention(
      std::unique_ptr<Store> store, int days, Notice notice,
      WallClock now = [] { return std::time(nullptr); })
      : store_(std::move(store)), days_(days), notice_(std::move(notice)), now_(std::move(now)) {}

  // Prunes while a batch fits before `deadline`.
  void RunUntil(std::chrono::steady_clock::time_point deadline);
  // The longest batch so far: how long a poll cycle may have to wait for the database.
  std::chrono::microseconds LongestBatch() const { return longest_; }
  // The most a round started late because pruning was still busy: the poll delay it caused.
  std::chrono::microseconds LongestDelay() const { return delay_; }

 private:
  // Why the clock is in doubt for a cutoff at `now`; empty when it is not.
  std::string ClockDoubt(std::time_t now, const std::string& cutoff);
  bool StartPruner();

  std::unique_ptr<Store> store_;
  int days_;
  Notice notice_;
  WallClock now_;
  bool warned_ = false;
  std::unique_ptr<Pruner> pruner_;
  std::chrono::steady_clock::time_point nextCheck_{};
  std::chrono::microseconds longest_{0};
  std::chrono::microseconds delay_{0};
};
