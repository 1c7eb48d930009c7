// SPDX-License-Identifier: Apache-2.0
// The database's tables and how a database of an earlier version is brought up to them.
#include "store/StoreSchema.h"

#include <sqlite3.h>

#include <algorithm>
#include <vector>

#include "events/RecordView.h"
#include "store/Rollups.h"
#include "store/StampBasis.h"
#include "store/Statement.h"
#include "store/Store.h"

namespace {

// history's value columns follow the record column (HistoryColumnsText).
const char* const kHistoryHead = R"(
CREATE TABLE IF NOT EXISTS history (
  id INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL,
  time TEXT NOT NULL,
  record BLOB NOT NULL)";
const char* const kSchema = R"();
CREATE INDEX IF NOT EXISTS history_by_device ON history (data_id, id);
CREATE TABLE IF NOT EXISTS alarm_events (
  id INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL,
  time TEXT NOT NULL,
  alarm_id TEXT NOT NULL,
  signal_name TEXT NOT NULL,
  level INTEGER NOT NULL,
  active INTEGER NOT NULL,
  value_text TEXT NOT NULL,
  alarm_text TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS link_events (
  id INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL,
  time TEXT NOT NULL,
  event TEXT NOT NULL,
  failed_cycles INTEGER NOT NULL,
  failure TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS device_errors (
  data_id INTEGER PRIMARY KEY,
  errors INTEGER NOT NULL,
  last_error TEXT NOT NULL,
  last_time TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS threshold_values (
  id INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL,
  time TEXT NOT NULL,
  alarm_id TEXT NOT NULL,
  name TEXT NOT NULL,
  value REAL,
  kind INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS analog_reports (
  id INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL,
  time TEXT NOT NULL,
  signal_id TEXT NOT NULL,
  value REAL);
-- Time ranges, per device and over all devices; retention deletes oldest first by time.
CREATE INDEX IF NOT EXISTS history_by_device_time ON history (data_id, time);
CREATE INDEX IF NOT EXISTS history_by_time ON history (time);
CREATE INDEX IF NOT EXISTS alarm_events_by_time ON alarm_events (time);
CREATE INDEX IF NOT EXISTS alarm_events_by_alarm ON alarm_events (data_id, alarm_id, id);
CREATE INDEX IF NOT EXISTS link_events_by_time ON link_events (time);
CREATE INDEX IF NOT EXISTS threshold_values_by_time ON threshold_values (time);
CREATE INDEX IF NOT EXISTS analog_reports_by_time ON analog_reports (time);
)";

// A device's data code and a record of it, written with its first record of a run; last_record
// shows the newest history row instead where the device has one (the cycle writes no second
// row). A database of an earlier version has last_record as that table: it is renamed.
const char* const kLastRecordSchema = R"(
CREATE TABLE IF NOT EXISTS device_records (
  data_id INTEGER PRIMARY KEY,
  code INTEGER NOT NULL,
  time TEXT NOT NULL,
  record BLOB NOT NULL);
CREATE VIEW IF NOT EXISTS last_record AS
SELECT device.data_id AS data_id, device.code AS code, coalesce(newest.time, device.time) AS time,
  coalesce(newest.record, device.record) AS record
FROM device_records AS device LEFT JOIN history AS newest
  ON newest.id = (SELECT max(id) FROM history WHERE data_id = device.data_id);
)";

// Only a host that ran the MQTT bridge has it.
const char* const kSummarySchema =
    "CREATE TABLE IF NOT EXISTS mqtt_summaries (id INTEGER PRIMARY KEY, data_id INTEGER NOT "
    "NULL, time TEXT NOT NULL, published INTEGER NOT NULL, dropped INTEGER NOT NULL, "
    "superseded INTEGER NOT NULL)";

const char* const kHoldsSchema =
    "CREATE TABLE IF NOT EXISTS retention_holds (kept_from TEXT NOT NULL, kept_to TEXT NOT "
    "NULL, held_until TEXT NOT NULL)";

const char* SqlType(const HistoryColumn& column) { return column.whole ? "INTEGER" : "REAL"; }

// ",\n  temperature REAL, humidity REAL, ...": one value column per field key of the known
// types, a line for each kind of field.
std::string HistoryColumnsText() {
  std::string text;
  const HistoryColumn* previous = nullptr;
  for (const HistoryColumn& column : HistoryColumns()) {
    text += previous == nullptr || previous->kind != column.kind ? ",\n  " : ", ";
    text += column.key + " " + SqlType(column);
    previous = &column;
  }
  return text;
}

const std::string& SchemaText() {
  static const std::string schema = kHistoryHead + HistoryColumnsText() + kSchema;
  return schema;
}

void AddMissingColumns(sqlite3* db) {
  // A database made before a device type was added lacks its fields' columns.
  const auto present = [db] {
    std::vector<std::string> names;
    Statement columns(db, "PRAGMA table_info(history)");
    while (columns.Step()) names.push_back(columns.Text(1));
    return names;
  };
  const std::vector<std::string> before = present();
  for (const HistoryColumn& column : HistoryColumns()) {
    if (std::find(before.begin(), before.end(), column.key) != before.end()) continue;
    try {
      ExecuteSql(db,
                 ("ALTER TABLE history ADD COLUMN " + column.key + " " + SqlType(column)).c_str());
    } catch (const StoreError&) {
      // Another line's store, opened at the same time, may have added it first.
      const std::vector<std::string> now = present();
      if (std::find(now.begin(), now.end(), column.key) == now.end()) throw;
    }
  }
}

std::string TypeOf(sqlite3* db, const char* name) {
  Statement type(db, "SELECT type FROM sqlite_master WHERE name = ?");
  type.Bind(1, std::string(name));
  return type.Step() ? type.Text(0) : std::string();
}

void EnsureLastRecordView(sqlite3* db) {
  if (TypeOf(db, "last_record") == "view") return;
  // One transaction: another line's store, opened at the same time, finds all of it or none.
  ExecuteSql(db, "BEGIN IMMEDIATE");
  try {
    if (TypeOf(db, "last_record") == "table") {
      ExecuteSql(db, "ALTER TABLE last_record RENAME TO device_records");
    }
    ExecuteSql(db, kLastRecordSchema);
    ExecuteSql(db, "COMMIT");
  } catch (const StoreError&) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

}  // namespace

void ExecuteSql(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string reason = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw StoreError("database: " + reason);
  }
}

void EnsureSchema(sqlite3* db) {
  ExecuteSql(db, SchemaText().c_str());
  AddMissingColumns(db);
  EnsureLastRecordView(db);
  EnsureRollupTables(db);
  EnsureUtcStamps(db);
}

void EnsureMqttSummaries(sqlite3* db) { ExecuteSql(db, kSummarySchema); }

void EnsureRetentionHolds(sqlite3* db) { ExecuteSql(db, kHoldsSchema); }

const std::string& AddHistoryText() {
  static const std::string text = [] {
    std::string columns = "data_id, time, record";
    std::string values = "?, ?, ?";
    for (const HistoryColumn& column : HistoryColumns()) {
      columns += ", " + column.key;
      values += ", ?";
    }
    return "INSERT INTO history (" + columns + ") VALUES (" + values + ")";
  }();
  return text;
}
