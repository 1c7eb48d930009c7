// SPDX-License-Identifier: Apache-2.0
#include "store/Rollups.h"

#include <sqlite3.h>

#include <algorithm>
#include <climits>

#include "events/TimeRange.h"
#include "store/Statement.h"
#include "store/Store.h"

namespace {

const LevelFacts kFacts[kLevels] = {
    {Level::kRaw, "raw", "history", 0, 19, "", ""},
    {Level::kMinute, "minute", "rollup_minutes", 60, 16, ":00", "1m"},
    {Level::kHour, "hour", "rollup_hours", 3600, 13, ":00:00", "1h"},
};

void Exec(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string reason = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw StoreError("database: " + reason);
  }
}

// "temperature_min REAL, temperature_max REAL, temperature_sum_tenths INTEGER, ..."
std::vector<std::pair<std::string, std::string>> FigureColumns() {
  std::vector<std::pair<std::string, std::string>> columns;
  for (const HistoryColumn& column : RollupColumns()) {
    columns.emplace_back(column.key + "_min", "REAL");
    columns.emplace_back(column.key + "_max", "REAL");
    columns.emplace_back(column.key + "_sum_tenths", "INTEGER");
  }
  return columns;
}

std::string TableText(const LevelFacts& facts) {
  std::string text = std::string("CREATE TABLE IF NOT EXISTS ") + facts.table +
                     " (\n  data_id INTEGER NOT NULL,\n  time TEXT NOT NULL,\n"
                     "  count INTEGER NOT NULL";
  for (const auto& [name, type] : FigureColumns()) text += ",\n  " + name + " " + type;
  text += ",\n  PRIMARY KEY (data_id, time)) WITHOUT ROWID;\n";
  // Retention deletes oldest first by time, over all devices.
  text += std::string("CREATE INDEX IF NOT EXISTS ") + facts.table + "_by_time ON " + facts.table +
          " (time);\n";
  return text;
}

// The columns of an INSERT into a level's table, and the update that merges a new bucket's
// figures into a stored one.
std::string InsertHead(const LevelFacts& facts) {
  std::string text = std::string("INSERT INTO ") + facts.table + " (data_id, time, count";
  for (const auto& column : FigureColumns()) text += ", " + column.first;
  return text + ") ";
}

std::string MergeTail() {
  std::string text = " ON CONFLICT (data_id, time) DO UPDATE SET count = count + excluded.count";
  for (const HistoryColumn& column : RollupColumns()) {
    const std::string& k = column.key;
    text += ", " + k + "_min = min(" + k + "_min, excluded." + k + "_min)";
    text += ", " + k + "_max = max(" + k + "_max, excluded." + k + "_max)";
    text += ", " + k + "_sum_tenths = " + k + "_sum_tenths + excluded." + k + "_sum_tenths";
  }
  return text;
}

// The bucket of a history row's time, in SQL.
std::string BucketExpression(const LevelFacts& facts) {
  if (facts.seconds == 0) return "time";
  return "substr(time, 1, " + std::to_string(facts.prefix) + ") || '" + facts.suffix + "'";
}

// A history row counts when its record was decoded: it has a value in some measured column.
std::string DecodedRow() {
  std::string text = "coalesce(";
  for (const HistoryColumn& column : RollupColumns()) text += column.key + ", ";
  return text + "NULL) IS NOT NULL";
}

std::vector<std::string> ColumnNames(sqlite3* db, const char* table) {
  std::vector<std::string> names;
  Statement columns(db, (std::string("PRAGMA table_info(") + table + ")").c_str());
  while (columns.Step()) names.push_back(columns.Text(1));
  return names;
}

// A host of an earlier version rolled each row up as it stored it: all its rows are folded.
void AddFoldedTo(sqlite3* db) {
  if (HasFoldedTo(db)) return;
  try {
    Exec(db, "BEGIN IMMEDIATE");
    if (!HasFoldedTo(db)) {
      Exec(db,
           "ALTER TABLE rollup_state ADD COLUMN folded_to INTEGER NOT NULL DEFAULT 0;"
           "UPDATE rollup_state SET folded_to = (SELECT ifnull(max(id), 0) FROM history)");
    }
    Exec(db, "COMMIT");
  } catch (const StoreError&) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

}  // namespace

RollupState ReadRollupState(sqlite3* db) {
  RollupState state;
  state.foldedTo = LLONG_MAX;
  if (!HasRollupTables(db)) return state;
  const bool folds = HasFoldedTo(db);
  Statement statement(db, folds ? "SELECT backfilled_to, backfill_end, folded_to FROM rollup_state"
                                : "SELECT backfilled_to, backfill_end FROM rollup_state");
  state.present = true;
  if (statement.Step()) {
    state.backfilledTo = statement.Integer(0);
    state.backfillEnd = statement.Integer(1);
    if (folds) state.foldedTo = statement.Integer(2);
  }
  return state;
}

bool HasFoldedTo(sqlite3* db) {
  const std::vector<std::string> names = ColumnNames(db, "rollup_state");
  return std::find(names.begin(), names.end(), "folded_to") != names.end();
}

const LevelFacts& FactsOf(Level level) { return kFacts[static_cast<std::size_t>(level)]; }

std::optional<Level> LevelOfEvery(const std::string& text) {
  for (const LevelFacts& facts : kFacts) {
    if (facts.seconds > 0 && text == facts.every) return facts.level;
  }
  return std::nullopt;
}

std::string BucketStart(Level level, const std::string& time) {
  const LevelFacts& facts = FactsOf(level);
  if (facts.seconds == 0 || time.size() < facts.prefix) return time;
  return time.substr(0, facts.prefix) + facts.suffix;
}

std::string BucketCeiling(Level level, const std::string& time) {
  const std::string start = BucketStart(level, time);
  if (start == time) return time;
  const auto seconds = CalendarSeconds(start);
  return seconds ? CalendarText(*seconds + FactsOf(level).seconds) : time;
}

const std::vector<HistoryColumn>& RollupColumns() {
  static const std::vector<HistoryColumn> columns = [] {
    std::vector<HistoryColumn> measured;
    for (const HistoryColumn& column : HistoryColumns()) {
      if (column.kind == FieldKind::kMeasured) measured.push_back(column);
    }
    return measured;
  }();
  return columns;
}

bool HasRollupTables(sqlite3* db) {
  Statement count(db,
                  "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN "
                  "('rollup_minutes', 'rollup_hours', 'rollup_state')");
  return count.Step() && count.Integer(0) == 3;
}

void EnsureRollupTables(sqlite3* db) {
  if (!HasRollupTables(db)) {
    // One transaction: another line's store, opened at the same time, finds all of it or none;
    // a history row stored before it is marked for the backfill, one stored after is rolled up
    // as it is stored.
    std::string sql = "BEGIN IMMEDIATE;\n";
    for (const LevelFacts& facts : kFacts) {
      if (facts.seconds > 0) sql += TableText(facts);
    }
    sql +=
        "CREATE TABLE IF NOT EXISTS rollup_state (\n  id INTEGER PRIMARY KEY CHECK (id = 1),\n"
        "  backfilled_to INTEGER NOT NULL,\n  backfill_end INTEGER NOT NULL,\n"
        "  folded_to INTEGER NOT NULL);\n"
        "INSERT OR IGNORE INTO rollup_state SELECT 1, ifnull(min(id), 1) - 1, ifnull(max(id), 0), "
        "ifnull(max(id), 0) FROM history;\nCOMMIT;";
    try {
      Exec(db, sql);
    } catch (const StoreError&) {
      sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
  }
  AddFoldedTo(db);
  // A measured field new since the tables were made: its figures begin now.
  for (const LevelFacts& facts : kFacts) {
    if (facts.seconds == 0) continue;
    const std::vector<std::string> present = ColumnNames(db, facts.table);
    for (const auto& [name, type] : FigureColumns()) {
      if (std::find(present.begin(), present.end(), name) != present.end()) continue;
      try {
        Exec(db, std::string("ALTER TABLE ") + facts.table + " ADD COLUMN " + name + " " + type);
      } catch (const StoreError&) {
        const std::vector<std::string> now = ColumnNames(db, facts.table);
        if (std::find(now.begin(), now.end(), name) == now.end()) throw;
      }
    }
  }
}

std::string BackfillText(Level level) {
  const LevelFacts& facts = FactsOf(level);
  return InsertHead(facts) +
         AggregateSelect(Level::kRaw, level, " WHERE id > ?1 AND id <= ?2", "") + MergeTail();
}

void RefoldSpan(sqlite3* db, const std::string& from, const std::string& to) {
  if (!HasRollupTables(db)) return;
  const RollupState state = ReadRollupState(db);
  for (const Level level : {Level::kMinute, Level::kHour}) {
    const LevelFacts& facts = FactsOf(level);
    Statement drop(
        db,
        (std::string("DELETE FROM ") + facts.table + " WHERE time >= ?1 AND time < ?2").c_str());
    drop.Bind(1, from).Bind(2, to).Step();
    // The rows folded, less those a backfill has still to do.
    Statement fold(db, (InsertHead(facts) +
                        AggregateSelect(Level::kRaw, level,
                                        " WHERE time >= ?1 AND time < ?2 AND id <= ?3 AND NOT "
                                        "(id > ?4 AND id <= ?5)",
                                        "") +
                        MergeTail())
                           .c_str());
    fold.Bind(1, from).Bind(2, to).Bind(3, state.foldedTo).Bind(4, state.backfilledTo);
    fold.Bind(5, state.backfillEnd).Step();
  }
}

std::string AggregateSelect(Level source, Level bucket, const std::string& where,
                            const std::string& order) {
  const LevelFacts& facts = FactsOf(source);
  std::string text;
  if (source != Level::kRaw) {
    text = "SELECT data_id, time AS bucket, count";
    for (const auto& column : FigureColumns()) text += ", " + column.first;
    return text + " FROM " + facts.table + where + order;
  }
  text = "SELECT data_id, " + BucketExpression(FactsOf(bucket)) + " AS bucket, count(*)";
  for (const HistoryColumn& column : RollupColumns()) {
    const std::string& k = column.key;
    text += ", min(" + k + "), max(" + k + "), sum(CAST(round(" + k + " * 10) AS INTEGER))";
  }
  // Only the decoded rows, as a stored cycle's rollups take them.
  return text + " FROM history" + (where.empty() ? " WHERE " : where + " AND ") + DecodedRow() +
         " GROUP BY data_id, bucket" + order;
}

void Aggregate::Merge(const Aggregate& other) {
  count += other.count;
  for (std::size_t c = 0; c < fields.size() && c < other.fields.size(); ++c) {
    const auto& theirs = other.fields[c];
    if (!theirs) continue;
    auto& ours = fields[c];
    if (!ours) {
      ours = theirs;
      continue;
    }
    ours->min = std::min(ours->min, theirs->min);
    ours->max = std::max(ours->max, theirs->max);
    ours->sumTenths += theirs->sumTenths;
  }
}

Level ChooseLevel(long long wantedSeconds,
                  const std::array<std::optional<long long>, kLevels>& first) {
  // Where the data begins, as late as each level allows: a bucket's first record may be as
  // late as its last second.
  std::optional<long long> start;
  for (const LevelFacts& facts : kFacts) {
    const auto& at = first[static_cast<std::size_t>(facts.level)];
    if (!at) continue;
    const long long latest = *at + std::max(facts.seconds - 1, 0LL);
    if (!start || latest < *start) start = latest;
  }
  if (!start) return Level::kRaw;
  const auto covers = [&](const LevelFacts& facts) {
    const auto& at = first[static_cast<std::size_t>(facts.level)];
    if (!at) return false;
    const long long floor =
        facts.seconds == 0 ? *start
                           : *start - (((*start % facts.seconds) + facts.seconds) % facts.seconds);
    return *at <= floor;
  };
  // The coarsest level fine enough, then finer ones; then coarser ones, finest first.
  for (std::size_t i = kLevels; i-- > 0;) {
    if (kFacts[i].seconds <= wantedSeconds && covers(kFacts[i])) return kFacts[i].level;
  }
  for (const LevelFacts& facts : kFacts) {
    if (facts.seconds > wantedSeconds && covers(facts)) return facts.level;
  }
  return Level::kRaw;
}
