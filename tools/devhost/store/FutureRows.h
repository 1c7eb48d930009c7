// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <ctime>
#include <functional>
#include <string>

#include "store/StoreConnection.h"

// History rows stamped later than now, by a clock that ran ahead and was set right since (a run
// with the clock 30 days ahead). They are kept, as no cutoff reaches a stamp later than now, and
// retention goes on with the rest; they are not held in retention_holds, since rows look the same
// while the clock is behind, and a hold would keep those real rows for the longest retention.
// The operator is told, sees them with `history --since NOW` and removes them with
// `prune --future`.
struct FutureRows {
  long long count = 0;
  std::string first, last;  // store texts
};

// The history rows stamped later than `now`; throws StoreError.
FutureRows FindFutureRows(StoreConnection& store, std::time_t now);
// "3 history row(s) are stamped later than now (from 2027-01-09T10:00:00 to ...)".
std::string FutureRowsText(const FutureRows& rows, std::time_t now);
// Deletes the rows of history and the event tables stamped later than `now`, the rollup buckets
// that begin later and the holds of spans that lie wholly later, a small batch per transaction
// (a running host waits one batch at most) while `goOn` says so; the rows deleted.
long long RemoveFutureRows(StoreConnection& store, std::time_t now,
                           const std::function<bool(long long deleted)>& goOn);
