// Listings over time ranges and retention: the store's queries that are built per request.
#include <sqlite3.h>

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
  return DeleteInTransaction(
      [&] { Use(query)->Bind(1, cutoff).Bind(2, static_cast<long long>(batch)).Step(); });
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
  // An empty file, or one no host made: no device.
  Statement table(db_,
                  "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = "
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
  if (!HasRollupTables(db_)) return state;
  Statement statement(db_, "SELECT backfilled_to, backfill_end FROM rollup_state");
  state.present = true;
  if (statement.Step()) {
    state.backfilledTo = statement.Integer(0);
    state.backfillEnd = statement.Integer(1);
  }
  return state;
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
  // Two index look-ups, not an aggregate over the range.
  const std::string where = Where(query);
  const std::string sql = "SELECT (SELECT time FROM " + table + where +
                          " ORDER BY time LIMIT 1), (SELECT time FROM " + table + where +
                          " ORDER BY time DESC LIMIT 1)";
  Statement statement(db_, sql.c_str());
  BindQuery(statement, query);
  if (!statement.Step() || statement.Type(0) == SQLITE_NULL) return std::nullopt;
  return std::make_pair(statement.Text(0), statement.Text(1));
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
  Statement statement(db_, sql.c_str());
  BindQuery(statement, whole);
  if (whole.limit > 0) BindLimit(statement, whole);
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
