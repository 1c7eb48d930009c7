// SPDX-License-Identifier: Apache-2.0
#pragma once
// Rollups: per device, per minute and per hour, the count of stored cycles and the minimum,
// maximum and sum of each measured field (events/DeviceTypes: FieldKind::kMeasured), so that a
// plot of a year or hourly figures read thousands of rows, not millions. A cycle writes only its
// history row; between poll rounds, once a minute has closed (a row of a later minute is
// stored), the rows of the closed minutes are folded into both levels in one short transaction
// that also moves rollup_state.folded_to on (RollupBackfill::FoldBatch): the rows and their rollups
// never disagree after a crash, and a minute's row is written once, not once per cycle. Readers
// add the rows after folded_to (the open minute) to the stored buckets
// (StoreReader::ForEachAggregate). Sums are kept in tenths, as whole numbers: the device's values
// have one decimal place, so a mean (sum / count) is exact, whatever the order the values came in.
//
// A database made before rollups gets its tables at the first start of a host; the rows it held
// then are rolled up afterwards in batches (RollupBackfill::BackfillBatch), the cycles stored from
// then on by the folds. rollup_state says how far both got. A database whose rollups a host of an
// earlier version kept with each cycle gets folded_to at its newest row.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "events/DeviceTypes.h"
#include "events/RecordView.h"

struct sqlite3;
class Statement;

// Where values of a time range come from: the history rows, or the rollups of one level.
enum class Level { kRaw = 0, kMinute = 1, kHour = 2 };
constexpr std::size_t kLevels = 3;

struct LevelFacts {
  Level level;
  const char* name;    // "minute": in messages and JSON
  const char* table;   // "rollup_minutes"
  long long seconds;   // a bucket's length; 0 for the raw rows
  std::size_t prefix;  // the store text a bucket keeps: "2026-12-08 09:14" (16)...
  const char* suffix;  // ...and what makes it a time again: ":00"
  const char* every;   // as history --every names it: "1m"
};
const LevelFacts& FactsOf(Level level);
// "1m" or "1h"; nothing for any other text.
std::optional<Level> LevelOfEvery(const std::string& text);

// The store text of the start of the bucket that holds `time` (store text).
std::string BucketStart(Level level, const std::string& time);
// `time` moved up to the start of a bucket: itself when it is one, else the next bucket's.
std::string BucketCeiling(Level level, const std::string& time);

// The fields a rollup keeps: the measured fields of every known type, once, in their order.
const std::vector<HistoryColumn>& RollupColumns();

// Creates the rollup tables and the backfill state of a database that lacks them, in one write
// transaction: rows stored until then are marked for the backfill. Adds the columns of a
// measured field that is new since the tables were made. Nothing to do (and no write lock
// taken) when all is there. Throws StoreError.
void EnsureRollupTables(sqlite3* db);
// Whether the tables exist (a database no host of this version has started on has none).
bool HasRollupTables(sqlite3* db);
// Whether rollup_state has folded_to (a host of an earlier version rolled up as it stored).
bool HasFoldedTo(sqlite3* db);

// "INSERT INTO rollup_minutes (...) SELECT ... FROM history WHERE id > ?1 AND id <= ?2 ...
// ON CONFLICT DO UPDATE ...": the history rows of an id range added to a level's rollups (by
// the backfill and by the folds).
std::string BackfillText(Level level);
// Makes the buckets of both levels in [from, to) (store texts of whole hours) again from the
// history rows there that are rolled up: after their stamps changed (StampBasis). Nothing where
// the database has no rollups. Throws StoreError.
void RefoldSpan(sqlite3* db, const std::string& from, const std::string& to);
// "SELECT data_id, bucket, count, <key>_min, <key>_max, <key>_sum_tenths, ... FROM ..." with
// `where` (" WHERE ...", on the columns data_id and time) and `order` (on bucket) appended: a
// level's rollups as stored, or (source kRaw) the buckets of level `bucket` computed from the
// history rows.
std::string AggregateSelect(Level source, Level bucket, const std::string& where,
                            const std::string& order);

// How far the rollups of the database go.
struct RollupState {
  bool present = false;        // the tables exist
  long long backfilledTo = 0;  // history rows up to this id are rolled up...
  long long backfillEnd = 0;   // ...and those after this one...
  long long foldedTo = 0;      // ...up to this one are folded; the rows after it are not
  bool Complete() const { return present && backfilledTo >= backfillEnd; }
};
// Read from rollup_state; folded_to LLONG_MAX where nothing waits for a fold (no rollups, or
// rolled up as stored).
RollupState ReadRollupState(sqlite3* db);

// One bucket of one device: the count of cycles and each rollup column's figures (nothing for a
// field the device's type has not).
struct FieldFigures {
  double min = 0, max = 0;
  long long sumTenths = 0;
  // One division: the double nearest to the exact mean.
  double Mean(long long count) const {
    return count > 0 ? static_cast<double>(sumTenths) / (10.0 * static_cast<double>(count)) : 0;
  }
  bool operator==(const FieldFigures& o) const {
    return min == o.min && max == o.max && sumTenths == o.sumTenths;
  }
};
struct Aggregate {
  uint32_t dataId = 0;
  std::string time;  // store text of the bucket's start
  long long count = 0;
  std::vector<std::optional<FieldFigures>> fields;  // per RollupColumns()
  bool operator==(const Aggregate& o) const {
    return dataId == o.dataId && time == o.time && count == o.count && fields == o.fields;
  }
  // Adds the figures of the same bucket from other rows: a stored bucket and the rows of it
  // not folded yet.
  void Merge(const Aggregate& other);
};

// The level a request is served from. `wanted`: the coarsest bucket that still gives what was
// asked (a plot: the seconds of one pixel column; history --every: that level's bucket).
// `first`: per level, the calendar seconds of its first row (bucket) in the range; nothing
// where it has none or cannot be used (rollups not complete). The coarsest level no coarser
// than `wanted` that reaches back to the start of the data, else the finest level that does.
Level ChooseLevel(long long wantedSeconds,
                  const std::array<std::optional<long long>, kLevels>& first);
