// SPDX-License-Identifier: Apache-2.0
// Listings over time ranges and retention: the store's queries that are built per request.
#include <sqlite3.h>

#include <climits>

#include "store/Store.h"

namespace {

struct EventTableColumns {
  const char* table;
  const char* columns;  // after id, data_id, time
};

EventTableColumns ColumnsOf(EventTable table) {
  switch (table) {
    case EventTable::kAlarms:
      return {"alarm_events", "alarm_id, signal_name, level, active, value_text, alarm_text"};
    case EventTable::kLinks:
      return {"link_events", "event, failed_cycles, failure"};
    case EventTable::kReports:
      return {"analog_reports", "signal_id, value"};
    case EventTable::kThresholdValues:
      return {"threshold_values", "alarm_id, name, value, kind"};
  }
  return {"", ""};
}

// "WHERE ..." for the query's device and range; parameters ?1 data id, ?2 since, ?3 until.
std::string Where(const RowQuery& query) {
  std::string where = " WHERE 1";
  if (query.dataId) where += " AND data_id = ?1";
  if (!query.range.since.empty()) where += " AND time >= ?2";
  if (!query.range.until.empty()) where += " AND time < ?3";
  return where;
}

void BindQuery(Statement& statement, const RowQuery& query) {
  if (query.dataId) statement.Bind(1, static_cast<long long>(*query.dataId));
  if (!query.range.since.empty()) statement.Bind(2, query.range.since);
  if (!query.range.until.empty()) statement.Bind(3, query.range.until);
}

// The same for the rows after ?5 (not folded into the rollups yet), put right after "FROM
// history": found by their ids, never through an index, which the planner would otherwise walk
// whole to group by device.
std::string UnfoldedWhere(const RowQuery& query) {
  std::string where = " NOT INDEXED WHERE id > ?5";
  if (query.dataId) where += " AND data_id = ?1";
  if (!query.range.since.empty()) where += " AND time >= ?2";
  if (!query.range.until.empty()) where += " AND time < ?3";
  return where;
}

// The rollups, folded_to and the rows after it read in one snapshot: a fold committed by the
// host meanwhile neither counts rows twice nor loses them. Nothing when a transaction is open.
class ReadSnapshot {
 public:
  explicit ReadSnapshot(sqlite3* db) : db_(sqlite3_get_autocommit(db) ? db : nullptr) {
    if (db_ != nullptr && sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr) != SQLITE_OK) {
      db_ = nullptr;
    }
  }
  ~ReadSnapshot() {
    if (db_ != nullptr) sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
  }
  ReadSnapshot(const ReadSnapshot&) = delete;
  ReadSnapshot& operator=(const ReadSnapshot&) = delete;

 private:
  sqlite3* db_;
};

void BindLimit(Statement& statement, const RowQuery& query) {
  statement.Bind(4, query.limit > 0 ? query.limit : -1);
}

// The newest ?4 rows of the range, handed out oldest first. Ordered by time (then id), the
// order of the time indexes, so that a range deep in a large table is found without a scan.
std::string NewestInRange(const std::string& table, const std::string& columns,
                          const RowQuery& query) {
  return "SELECT " + columns + " FROM (SELECT " + columns + " FROM " + table + Where(query) +
         " ORDER BY time DESC, id DESC LIMIT ?4) ORDER BY time, id";
}

Json::Value ColumnValue(const Statement& statement, int column) {
  switch (statement.Type(column)) {
    case SQLITE_INTEGER:
      return Json::Value(static_cast<Json::Int64>(statement.Integer(column)));
    case SQLITE_FLOAT:
      return Json::Value(statement.Real(column));
    case SQLITE_NULL:
      return Json::Value();
    default:
      return Json::Value(statement.Text(column));
  }
}

std::vector<std::string> SplitColumns(const std::string& columns) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start < columns.size()) {
    std::size_t end = columns.find(',', start);
    if (end == std::string::npos) end = columns.size();
    std::string name = columns.substr(start, end - start);
    name.erase(0, name.find_first_not_of(' '));
    names.push_back(name);
    start = end + 1;
  }
  return names;
}

}  // namespace

std::vector<HistoryRow> Store::History(const RowQuery& query) {
  Statement statement(db_, NewestInRange("history", "id, data_id, time, record", query).c_str());
  BindQuery(statement, query);
  BindLimit(statement, query);
  std::vector<HistoryRow> rows;
  while (statement.Step()) {
    HistoryRow row;
    row.id = statement.Integer(0);
    row.dataId = static_cast<uint32_t>(statement.Integer(1));
    row.time = statement.Text(2);
    row.record = statement.Blob(3);
    rows.push_back(std::move(row));
  }
  return rows;
}

StoredRows Store::Events(EventTable table, const RowQuery& query) {
  const EventTableColumns of = ColumnsOf(table);
  const std::string columns = std::string("id, data_id, time, ") + of.columns;
  Statement statement(db_, NewestInRange(of.table, columns, query).c_str());
  BindQuery(statement, query);
  BindLimit(statement, query);
  StoredRows result;
  result.columns = SplitColumns(columns);
  while (statement.Step()) {
    std::vector<Json::Value> row;
    for (int i = 0; i < static_cast<int>(result.columns.size()); ++i) {
      row.push_back(ColumnValue(statement, i));
    }
    result.rows.push_back(std::move(row));
  }
  return result;
}

std::optional<std::pair<std::string, std::string>> Store::HistorySpan(uint32_t dataId,
                                                                      const TimeRange& range) {
  return Span(Level::kRaw, dataId, range);
}

std::optional<std::size_t> Store::NewestRecordLength(uint32_t dataId, const TimeRange& range,
                                                     const std::vector<std::size_t>& lengths) {
  RowQuery query;
  query.dataId = dataId;
  query.range = range;
  std::string among;
  for (std::size_t length : lengths) among += (among.empty() ? "" : ", ") + std::to_string(length);
  const std::string sql = "SELECT length(record) FROM history" + Where(query) +
                          " AND length(record) IN (" + among + ") ORDER BY time DESC LIMIT 1";
  Statement statement(db_, sql.c_str());
  BindQuery(statement, query);
  if (!statement.Step()) return std::nullopt;
  return static_cast<std::size_t>(statement.Integer(0));
}

void Store::ForEachSample(uint32_t dataId, const TimeRange& range,
                          const std::vector<std::string>& columns,
                          const std::function<void(const Sample&)>& take) {
  RowQuery query;
  query.dataId = dataId;
  query.range = range;
  std::string sql = "SELECT time";
  for (const std::string& column : columns) sql += ", " + column;
  sql += " FROM history" + Where(query) + " ORDER BY time, id";
  Statement statement(db_, sql.c_str());
  BindQuery(statement, query);
  Sample sample;
  sample.values.resize(columns.size());
  const int count = static_cast<int>(columns.size());
  while (statement.Step()) {
    // A record of another type has no decoded values.
    if (count > 0 && statement.Type(1) == SQLITE_NULL) continue;
    // Assigned into the same buffers each row: no allocation per record.
    sample.time.assign(statement.TextView(0));
    for (int i = 0; i < count; ++i) sample.values[i] = statement.Real(i + 1);
    take(sample);
  }
}

long long Store::PruneBatch(std::optional<EventTable> table, const std::string& cutoff, int batch) {
  Query query = kPruneHistory;
  if (table) {
    switch (*table) {
      case EventTable::kAlarms:
        query = kPruneAlarms;
        break;
      case EventTable::kLinks:
        query = kPruneLinks;
        break;
      case EventTable::kReports:
        query = kPruneReports;
        break;
      case EventTable::kThresholdValues:
        query = kPruneThresholdValues;
        break;
    }
  }
  // History rows go only once they are in the rollups.
  const long long folded = query == kPruneHistory ? Rollups().foldedTo : 0;
  return DeleteInTransaction([&] {
    const auto statement = Use(query);
    statement->Bind(1, cutoff).Bind(2, static_cast<long long>(batch));
    if (query == kPruneHistory) statement->Bind(3, folded);
    statement->Step();
  });
}

long long Store::DeleteInTransaction(const std::function<void()>& step) {
  Begin();
  try {
    step();
    const long long deleted = sqlite3_changes(db_);
    Commit();
    return deleted;
  } catch (...) {
    try {
      Rollback();
    } catch (const StoreError&) {
      // The next Begin tries again; the batch's own error is the one to report.
    }
    throw;
  }
}

std::vector<uint32_t> Store::StoredDevices() {
  // An empty file, or one no host made: no device. last_record is a table in databases of
  // earlier versions, a view since.
  Statement table(db_,
                  "SELECT count(*) FROM sqlite_master WHERE type IN ('table', 'view') AND name = "
                  "'last_record'");
  if (!table.Step() || table.Integer(0) == 0) return {};
  // One row per device that ever stored a record: no scan of the history.
  Statement statement(db_, "SELECT data_id FROM last_record ORDER BY data_id");
  std::vector<uint32_t> devices;
  while (statement.Step()) devices.push_back(static_cast<uint32_t>(statement.Integer(0)));
  return devices;
}

long long Store::PruneRollupBatch(Level level, const std::string& cutoff, int batch) {
  const std::string table = FactsOf(level).table;
  Statement statement(
      db_, ("DELETE FROM " + table + " WHERE (data_id, time) IN (SELECT data_id, time FROM " +
            table + " AS bucket WHERE time < ?1 AND NOT EXISTS (SELECT 1 FROM retention_holds " +
            "AS held WHERE bucket.time BETWEEN held.kept_from AND held.kept_to) ORDER BY time " +
            "LIMIT ?2)")
               .c_str());
  return DeleteInTransaction(
      [&] { statement.Bind(1, cutoff).Bind(2, static_cast<long long>(batch)).Step(); });
}

RollupState Store::Rollups() {
  RollupState state;
  state.foldedTo = LLONG_MAX;  // no rollups, or rolled up as stored: nothing waits for a fold
  if (!HasRollupTables(db_)) return state;
  const bool folds = HasFoldedTo(db_);
  Statement statement(db_, folds ? "SELECT backfilled_to, backfill_end, folded_to FROM rollup_state"
                                 : "SELECT backfilled_to, backfill_end FROM rollup_state");
  state.present = true;
  if (statement.Step()) {
    state.backfilledTo = statement.Integer(0);
    state.backfillEnd = statement.Integer(1);
    if (folds) state.foldedTo = statement.Integer(2);
  }
  return state;
}

long long Store::InTransaction(const std::function<long long()>& step) {
  Begin();
  try {
    const long long result = step();
    Commit();
    return result;
  } catch (...) {
    try {
      Rollback();
    } catch (const StoreError&) {
    }
    throw;
  }
}

long long Store::FoldRollups(int batch) {
  // The state read inside the write transaction: a fold by another connection (devhost prune
  // beside a running host) is seen, a row is never folded twice.
  return InTransaction([&]() -> long long {
    Statement state(db_,
                    "SELECT folded_to, (SELECT time FROM history ORDER BY id DESC LIMIT 1) "
                    "FROM rollup_state");
    if (!state.Step() || state.Type(1) == SQLITE_NULL) return 0;
    const long long from = state.Integer(0);
    const std::string open = BucketStart(Level::kMinute, state.Text(1));
    Statement upTo(db_,
                   "SELECT max(id), count(*) FROM (SELECT id FROM history WHERE id > ?1 AND "
                   "+time < ?2 ORDER BY id LIMIT ?3)");
    upTo.Bind(1, from).Bind(2, open).Bind(3, static_cast<long long>(batch)).Step();
    const long long taken = upTo.Integer(1);
    if (taken == 0) return 0;
    const long long to = upTo.Integer(0);
    for (const Level level : {Level::kMinute, Level::kHour}) {
      Statement fill(db_, BackfillText(level).c_str());
      fill.Bind(1, from).Bind(2, to).Step();
    }
    Statement mark(db_, "UPDATE rollup_state SET folded_to = ?1");
    mark.Bind(1, to).Step();
    return taken;
  });
}

long long Store::BackfillRollups(int batch) {
  // Everything inside one write transaction, the state read too: a second backfill (devhost
  // prune beside a running host) takes the next batch, never the same one twice.
  Begin();
  try {
    long long taken = 0;
    Statement state(db_, "SELECT backfilled_to, backfill_end FROM rollup_state");
    if (state.Step() && state.Integer(0) < state.Integer(1)) {
      const long long from = state.Integer(0), end = state.Integer(1);
      Statement upTo(db_,
                     "SELECT max(id), count(*) FROM (SELECT id FROM history WHERE id > ?1 AND "
                     "id <= ?2 ORDER BY id LIMIT ?3)");
      upTo.Bind(1, from).Bind(2, end).Bind(3, static_cast<long long>(batch)).Step();
      taken = upTo.Integer(1);
      // Rows pruned meanwhile leave nothing to take: the backfill is done.
      const long long to = taken > 0 ? upTo.Integer(0) : end;
      for (const Level level : {Level::kMinute, Level::kHour}) {
        Statement fill(db_, BackfillText(level).c_str());
        fill.Bind(1, from).Bind(2, to).Step();
      }
      Statement mark(db_, "UPDATE rollup_state SET backfilled_to = ?1");
      mark.Bind(1, to).Step();
    }
    Commit();
    return taken;
  } catch (...) {
    try {
      Rollback();
    } catch (const StoreError&) {
    }
    throw;
  }
}

std::optional<std::pair<std::string, std::string>> Store::Span(Level level,
                                                               std::optional<uint32_t> dataId,
                                                               const TimeRange& range) {
  RowQuery query;
  query.dataId = dataId;
  query.range = range;
  if (!range.since.empty()) query.range.since = BucketStart(level, range.since);
  const std::string table = FactsOf(level).table;
  const ReadSnapshot snapshot(db_);
  // Two index look-ups, not an aggregate over the range.
  const std::string where = Where(query);
  const std::string sql = "SELECT (SELECT time FROM " + table + where +
                          " ORDER BY time LIMIT 1), (SELECT time FROM " + table + where +
                          " ORDER BY time DESC LIMIT 1)";
  Statement statement(db_, sql.c_str());
  BindQuery(statement, query);
  std::optional<std::pair<std::string, std::string>> span;
  if (statement.Step() && statement.Type(0) != SQLITE_NULL) {
    span = std::make_pair(statement.Text(0), statement.Text(1));
  }
  if (level == Level::kRaw) return span;
  // The rows not folded yet hold the newest buckets, and may hold the only ones.
  const long long folded = Rollups().foldedTo;
  if (folded == LLONG_MAX) return span;
  Statement unfolded(db_,
                     ("SELECT min(time), max(time) FROM history" + UnfoldedWhere(query)).c_str());
  BindQuery(unfolded, query);
  unfolded.Bind(5, folded);
  if (!unfolded.Step() || unfolded.Type(0) == SQLITE_NULL) return span;
  const std::string first = BucketStart(level, unfolded.Text(0));
  const std::string last = BucketStart(level, unfolded.Text(1));
  if (!span) return std::make_pair(first, last);
  return std::make_pair(std::min(span->first, first), std::max(span->second, last));
}

namespace {

// Each row of an aggregate query (AggregateSelect's columns) handed to `take`.
void StreamAggregateRows(Statement& statement, const std::function<void(const Aggregate&)>& take) {
  Aggregate aggregate;
  const std::size_t columns = RollupColumns().size();
  aggregate.fields.resize(columns);
  while (statement.Step()) {
    aggregate.dataId = static_cast<uint32_t>(statement.Integer(0));
    aggregate.time.assign(statement.TextView(1));
    aggregate.count = statement.Integer(2);
    for (std::size_t c = 0; c < columns; ++c) {
      const int at = 3 + 3 * static_cast<int>(c);
      if (statement.Type(at) == SQLITE_NULL) {
        aggregate.fields[c].reset();
      } else {
        aggregate.fields[c] =
            FieldFigures{statement.Real(at), statement.Real(at + 1), statement.Integer(at + 2)};
      }
    }
    take(aggregate);
  }
}

bool BucketBefore(const Aggregate& a, const Aggregate& b) {
  return a.time != b.time ? a.time < b.time : a.dataId < b.dataId;
}

// Stored buckets, in order, with the buckets of the rows not folded yet merged in at their
// places; with a limit, only the newest `limit` of the result.
class UnfoldedMerge {
 public:
  UnfoldedMerge(std::vector<Aggregate> unfolded, long long limit,
                const std::function<void(const Aggregate&)>& take)
      : unfolded_(std::move(unfolded)), limit_(limit), take_(take) {}

  void Take(const Aggregate& stored) {
    while (next_ < unfolded_.size() && BucketBefore(unfolded_[next_], stored)) {
      Emit(unfolded_[next_++]);
    }
    if (next_ < unfolded_.size() && !BucketBefore(stored, unfolded_[next_])) {
      Aggregate merged = stored;
      merged.Merge(unfolded_[next_++]);
      Emit(merged);
    } else {
      Emit(stored);
    }
  }
  void Finish() {
    while (next_ < unfolded_.size()) Emit(unfolded_[next_++]);
    const std::size_t skip =
        limit_ > 0 && kept_.size() > static_cast<std::size_t>(limit_) ? kept_.size() - limit_ : 0;
    for (std::size_t i = skip; i < kept_.size(); ++i) take_(kept_[i]);
  }

 private:
  void Emit(const Aggregate& aggregate) {
    if (limit_ > 0) {
      kept_.push_back(aggregate);
    } else {
      take_(aggregate);
    }
  }

  std::vector<Aggregate> unfolded_;
  std::size_t next_ = 0;
  long long limit_;
  const std::function<void(const Aggregate&)>& take_;
  std::vector<Aggregate> kept_;  // with a limit: all, cut at Finish (limit + unfolded at most)
};

}  // namespace

std::vector<Aggregate> Store::UnfoldedAggregates(Level bucket, const RowQuery& query,
                                                 long long foldedTo) {
  Statement statement(db_, (AggregateSelect(Level::kRaw, bucket, UnfoldedWhere(query), "") +
                            " ORDER BY bucket, data_id")
                               .c_str());
  BindQuery(statement, query);
  statement.Bind(5, foldedTo);
  std::vector<Aggregate> rows;
  StreamAggregateRows(statement, [&](const Aggregate& row) { rows.push_back(row); });
  return rows;
}

void Store::ForEachAggregate(Level source, Level bucket, const RowQuery& query,
                             const std::function<void(const Aggregate&)>& take) {
  // Whole buckets: from the one that holds `since` up to the one that holds `until`.
  RowQuery whole = query;
  if (!whole.range.since.empty()) whole.range.since = BucketStart(bucket, whole.range.since);
  if (!whole.range.until.empty()) whole.range.until = BucketCeiling(bucket, whole.range.until);
  std::string sql = AggregateSelect(source, bucket, Where(whole), "");
  if (whole.limit > 0) {
    sql = "SELECT * FROM (" + sql + " ORDER BY bucket DESC, data_id DESC LIMIT ?4)";
  }
  sql += " ORDER BY bucket, data_id";
  const ReadSnapshot snapshot(db_);
  Statement statement(db_, sql.c_str());
  BindQuery(statement, whole);
  if (whole.limit > 0) BindLimit(statement, whole);
  const long long folded = source == Level::kRaw ? LLONG_MAX : Rollups().foldedTo;
  if (folded == LLONG_MAX) return StreamAggregateRows(statement, take);
  UnfoldedMerge merge(UnfoldedAggregates(bucket, whole, folded), whole.limit, take);
  StreamAggregateRows(statement, [&](const Aggregate& row) { merge.Take(row); });
  merge.Finish();
}
