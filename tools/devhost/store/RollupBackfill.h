// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "store/BatchPacer.h"
#include "store/StoreConnection.h"

// Rolls up the history rows a database held before it had rollups (store/Rollups.h), after the
// poll rounds of a running host, paced like retention (BatchPacer): batches of kBatchRows rows,
// each one short write transaction that also moves rollup_state on, so a host killed halfway
// goes on after the last batch that committed. Tells a person that it began, how far it got
// (at most every kTellEvery) and when it is done. Then folds the rows of each closed minute into
// the rollups (FoldBatch), looking once the minute of the clock has changed. Runs on
// one line's thread only.
class RollupBackfill {
 public:
  static constexpr int kBatchRows = 1000;
  static constexpr std::chrono::seconds kTellEvery{10};
  using Notice = std::function<void(const std::string&)>;

  RollupBackfill(std::unique_ptr<StoreConnection> store, Notice notice);

  // Runs batches while one fits before `deadline`; true once nothing is left to roll up (the
  // backfill done, the closed minutes folded).
  bool RunUntil(std::chrono::steady_clock::time_point deadline);
  // Rolls everything up at once, telling `progress` after each batch (devhost prune), which
  // returns false to stop there; false when stopped. Throws StoreError.
  static bool RunToEnd(StoreConnection& store,
                       const std::function<bool(const std::string&)>& progress);
  // Folds every closed minute at once. Throws StoreError.
  static void FoldAll(StoreConnection& store);
  // Rolls up to `batch` of the history rows a backfill still has to do, in one short write
  // transaction that moves rollup_state along; the rows taken (0: nothing left).
  static long long BackfillBatch(StoreConnection& store, int batch);
  // Folds up to `batch` of the rows after folded_to that lie before the minute of the newest row
  // (closed minutes) into both levels, in one short write transaction; the rows taken.
  static long long FoldBatch(StoreConnection& store, int batch);

 private:
  bool Start();
  // Folds while a batch fits before `deadline`; true once nothing closed is left.
  bool Fold(std::chrono::steady_clock::time_point deadline);

  std::unique_ptr<StoreConnection> store_;
  Notice notice_;
  bool started_ = false, done_ = false;
  long long first_ = 0, end_ = 0, rows_ = 0;
  long long foldedMinute_ = -1;  // the clock's minute when all closed minutes were folded
  std::chrono::steady_clock::time_point began_{}, told_{}, retry_{};
  BatchPacer pacer_;
};

// "35% (rows up to id 11034000 of 31528800)": how far a backfill from `first` to `end` is at
// `at`.
std::string BackfillProgress(long long first, long long at, long long end);
