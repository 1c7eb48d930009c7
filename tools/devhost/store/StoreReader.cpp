// SPDX-License-Identifier: Apache-2.0
// Listings of records and events, and what a starting host restores.
#include "store/StoreReader.h"

#include <sqlite3.h>

#include "events/TimeText.h"
#include "store/RowQuerySql.h"

namespace {

const char* const kLastRecordText = "SELECT time, record FROM last_record WHERE data_id = ?";
const char* const kLastAlarmEventsText =
    "SELECT time, alarm_id, signal_name, level, active, value_text, alarm_text FROM alarm_events "
    "WHERE data_id = ? ORDER BY id";
const char* const kNewestHistoryText = "SELECT time FROM history ORDER BY time DESC LIMIT 1";

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

// The newest ?4 rows of the range, handed out oldest first. Ordered by time (then id), the
// order of the time indexes, so that a range deep in a large table is found without a scan.
// The local texts of a database not converted yet do not sort as time does (the hour that
// repeats in autumn): its rows go in the order they were written.
std::string NewestInRange(const std::string& table, const std::string& columns,
                          const RowQuery& query) {
  const char* order = StoreTextIsLocal() ? "id" : "time, id";
  const char* newest = StoreTextIsLocal() ? "id DESC" : "time DESC, id DESC";
  return "SELECT " + columns + " FROM (SELECT " + columns + " FROM " + table +
         RowQueryWhere(query) + " ORDER BY " + newest + " LIMIT ?4) ORDER BY " + order;
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

bool StoreReader::HasHistory() {
  Statement statement(
      connection_.Handle(),
      "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'history'");
  return statement.Step() && statement.Integer(0) > 0;
}

std::vector<HistoryRow> StoreReader::History(const RowQuery& query) {
  Statement statement(connection_.Handle(),
                      NewestInRange("history", "id, data_id, time, record", query).c_str());
  BindRowQuery(statement, query);
  BindRowLimit(statement, query);
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

StoredRows StoreReader::Events(EventTable table, const RowQuery& query) {
  const EventTableColumns of = ColumnsOf(table);
  const std::string columns = std::string("id, data_id, time, ") + of.columns;
  Statement statement(connection_.Handle(), NewestInRange(of.table, columns, query).c_str());
  BindRowQuery(statement, query);
  BindRowLimit(statement, query);
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

std::optional<std::size_t> StoreReader::NewestRecordLength(
    uint32_t dataId, const TimeRange& range, const std::vector<std::size_t>& lengths) {
  RowQuery query;
  query.dataId = dataId;
  query.range = range;
  std::string among;
  for (std::size_t length : lengths) among += (among.empty() ? "" : ", ") + std::to_string(length);
  const std::string sql = "SELECT length(record) FROM history" + RowQueryWhere(query) +
                          " AND length(record) IN (" + among + ") ORDER BY time DESC LIMIT 1";
  Statement statement(connection_.Handle(), sql.c_str());
  BindRowQuery(statement, query);
  if (!statement.Step()) return std::nullopt;
  return static_cast<std::size_t>(statement.Integer(0));
}

void StoreReader::ForEachSample(uint32_t dataId, const TimeRange& range,
                                const std::vector<std::string>& columns,
                                const std::function<void(const Sample&)>& take) {
  RowQuery query;
  query.dataId = dataId;
  query.range = range;
  std::string sql = "SELECT time";
  for (const std::string& column : columns) sql += ", " + column;
  sql += " FROM history" + RowQueryWhere(query) + " ORDER BY time, id";
  Statement statement(connection_.Handle(), sql.c_str());
  BindRowQuery(statement, query);
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

std::vector<uint32_t> StoreReader::StoredDevices() {
  // An empty file, or one no host made: no device. last_record is a table in databases of
  // earlier versions, a view since.
  Statement table(connection_.Handle(),
                  "SELECT count(*) FROM sqlite_master WHERE type IN ('table', 'view') AND name = "
                  "'last_record'");
  if (!table.Step() || table.Integer(0) == 0) return {};
  // One row per device that ever stored a record: no scan of the history.
  Statement statement(connection_.Handle(), "SELECT data_id FROM last_record ORDER BY data_id");
  std::vector<uint32_t> devices;
  while (statement.Step()) devices.push_back(static_cast<uint32_t>(statement.Integer(0)));
  return devices;
}

std::string StoreReader::NewestHistoryTime() {
  const auto statement = connection_.Kept(kNewestHistoryText);
  return statement->Step() ? statement->Text(0) : std::string();
}

std::optional<StoredRecord> StoreReader::LastRecord(uint32_t dataId) {
  const auto statement = connection_.Kept(kLastRecordText);
  statement->Bind(1, static_cast<long long>(dataId));
  if (!statement->Step()) return std::nullopt;
  return StoredRecord{statement->Text(0), statement->Blob(1)};
}

std::map<std::string, AlarmEvent> StoreReader::LastAlarmEvents(uint32_t dataId) {
  const auto statement = connection_.Kept(kLastAlarmEventsText);
  statement->Bind(1, static_cast<long long>(dataId));
  std::map<std::string, AlarmEvent> events;
  while (statement->Step()) {
    AlarmEvent event;
    event.dataId = dataId;
    event.time = statement->Text(0);
    event.alarmId = statement->Text(1);
    event.signalName = statement->Text(2);
    event.level = static_cast<int>(statement->Integer(3));
    event.active = statement->Integer(4) != 0;
    event.valueText = statement->Text(5);
    event.alarmText = statement->Text(6);
    events[event.alarmId] = event;
  }
  return events;
}

RollupState StoreReader::Rollups() { return ReadRollupState(connection_.Handle()); }
