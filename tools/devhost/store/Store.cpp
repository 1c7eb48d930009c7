// SPDX-License-Identifier: Apache-2.0
#include "store/Store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "events/RecordView.h"
#include "store/StampBasis.h"
#include "store/WalGather.h"

namespace {

constexpr int kBusyTimeoutMs = 5000;

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

// A row's stamp lies in no span that retention holds (store/Pruner.h: ClockTrust).
#define HELD_NOT                                                                         \
  "NOT EXISTS (SELECT 1 FROM retention_holds AS held WHERE time BETWEEN held.kept_from " \
  "AND held.kept_to)"

// The text of each kept statement, in the order of Store::Query.
const char* const kQueries[] = {
    "BEGIN IMMEDIATE",
    "COMMIT",
    nullptr,  // kAddHistory: AddHistoryText(), made from the columns
    "INSERT OR REPLACE INTO device_records (data_id, code, time, record) VALUES (?, ?, ?, ?)",
    "SELECT time, record FROM last_record WHERE data_id = ?",
    "INSERT INTO alarm_events (data_id, time, alarm_id, signal_name, level, active, value_text, "
    "alarm_text) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
    "SELECT time, alarm_id, signal_name, level, active, value_text, alarm_text FROM alarm_events "
    "WHERE data_id = ? ORDER BY id",
    "INSERT INTO link_events (data_id, time, event, failed_cycles, failure) VALUES (?, ?, ?, ?, ?)",
    "INSERT INTO device_errors (data_id, errors, last_error, last_time) VALUES (?1, 1, ?2, ?3) "
    "ON CONFLICT (data_id) DO UPDATE SET errors = errors + 1, last_error = ?2, last_time = ?3",
    "INSERT INTO threshold_values (data_id, time, alarm_id, name, value, kind) "
    "VALUES (?, ?, ?, ?, ?, ?)",
    "INSERT INTO analog_reports (data_id, time, signal_id, value) VALUES (?, ?, ?, ?)",
    "INSERT INTO mqtt_summaries (data_id, time, published, dropped, superseded) "
    "VALUES (?, ?, ?, ?, ?)",
    // Oldest first, a batch at a time; only rows folded into the rollups (up to ?3), never a
    // device's newest row (its last record). The last event of each alarm stays, since the host
    // restores its alarm states from it.
    // Rows stamped inside a held span (retention_holds) stay whatever their stamp says.
    "DELETE FROM history WHERE id IN (SELECT id FROM history AS old WHERE time < ?1 AND id <= ?3 "
    "AND id < (SELECT max(id) FROM history AS newer WHERE newer.data_id = old.data_id) "
    "AND " HELD_NOT " ORDER BY time LIMIT ?2)",
    "DELETE FROM alarm_events WHERE id IN (SELECT id FROM alarm_events AS old WHERE time < ?1 "
    "AND " HELD_NOT
    " AND EXISTS (SELECT 1 FROM alarm_events AS newer WHERE newer.data_id = "
    "old.data_id AND newer.alarm_id = old.alarm_id AND newer.id > old.id) ORDER BY time LIMIT ?2)",
    "DELETE FROM link_events WHERE id IN "
    "(SELECT id FROM link_events WHERE time < ?1 AND " HELD_NOT " ORDER BY time LIMIT ?2)",
    "DELETE FROM threshold_values WHERE id IN "
    "(SELECT id FROM threshold_values WHERE time < ?1 AND " HELD_NOT " ORDER BY time LIMIT ?2)",
    "DELETE FROM analog_reports WHERE id IN "
    "(SELECT id FROM analog_reports WHERE time < ?1 AND " HELD_NOT " ORDER BY time LIMIT ?2)",
    "SELECT time FROM history ORDER BY time DESC LIMIT 1",
};

// SQLite stores no NaN; an unreadable value is kept as NULL.
void BindFloat(Statement& statement, int index, float value) {
  if (value == value) {
    statement.Bind(index, static_cast<double>(value));
  } else {
    statement.BindNull(index);
  }
}

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

const char* QueryText(int query) {
  return kQueries[query] != nullptr ? kQueries[query] : AddHistoryText().c_str();
}

// Each value column from the record's field of that key; NULL where the record's type has no
// such field, and in every column for a record of no known type.
void BindValues(Statement& statement, int first, const std::optional<RecordValues>& values) {
  int index = first;
  for (const HistoryColumn& column : HistoryColumns()) {
    const auto value = values ? values->Value(column.key) : std::nullopt;
    if (!value) {
      statement.BindNull(index++);
    } else if (column.whole) {
      statement.Bind(index++, static_cast<long long>(*value));
    } else {
      statement.Bind(index++, *value);
    }
  }
}

void ExecuteOn(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string reason = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw StoreError("database: " + reason);
  }
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
      ExecuteOn(db,
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
  ExecuteOn(db, "BEGIN IMMEDIATE");
  try {
    if (TypeOf(db, "last_record") == "table") {
      ExecuteOn(db, "ALTER TABLE last_record RENAME TO device_records");
    }
    ExecuteOn(db, kLastRecordSchema);
    ExecuteOn(db, "COMMIT");
  } catch (const StoreError&) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

// The history is the owner's, like the control socket: a new database is made 0600 here, and
// SQLite gives its -wal and -shm files the database's mode. An existing file keeps its mode.
void CreateOwnerOnly(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) close(fd);
}

// SQLite says only "unable to open database file" when this user may not read or write the
// file or its folder (where the -wal and -shm files go).
std::string PermissionHint(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const bool denied = (access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES) ||
                      (access(folder.c_str(), W_OK | X_OK) != 0 && errno == EACCES);
  if (!denied) return {};
  return " (permission denied: this user may not read and write the database and its folder; "
         "run the command as the user that owns it, e.g. sudo -u devhost, or as root)";
}

}  // namespace

namespace {

// Read-only: a database in WAL mode needs its -shm file, which SQLite cannot make in a folder
// the reader may not write. When the host is not running there is none (the last connection
// removes it) and nobody writes the file: it is then read as it is (immutable).
sqlite3* OpenReadOnly(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
      sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) ==
          SQLITE_OK) {
    return db;
  }
  sqlite3_close(db);
  db = nullptr;
  if (access((path + "-wal").c_str(), F_OK) == 0 || access(path.c_str(), R_OK) != 0) {
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    return db;
  }
  char* uri = sqlite3_mprintf("file:%q?immutable=1", path.c_str());
  sqlite3_open_v2(uri, &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  sqlite3_free(uri);
  return db;
}

}  // namespace

sqlite3* Store::Open(const std::string& path, bool create, bool readOnly) {
  if (create) CreateOwnerOnly(path);
  sqlite3* db = nullptr;
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  if (readOnly) {
    db = OpenReadOnly(path);
    if (db == nullptr || sqlite3_errcode(db) != SQLITE_OK) {
      const std::string reason = db ? sqlite3_errmsg(db) : "out of memory";
      sqlite3_close(db);
      throw StoreError("cannot open database " + path + ": " + reason);
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    ReadStampBasis(db);
    return db;
  }
  if (sqlite3_open_v2(path.c_str(), &db, flags, GatheringVfs()) != SQLITE_OK) {
    const std::string reason = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw StoreError("cannot open database " + path + ": " + reason + PermissionHint(path));
  }
  try {
    // SQLite falls back to reading a file it may not write; nothing has been read yet.
    if (create && sqlite3_db_readonly(db, "main") == 1) {
      throw StoreError("it is read-only (no write access)");
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    ExecuteOn(db, "PRAGMA journal_mode=WAL");
    ExecuteOn(db, "PRAGMA synchronous=NORMAL");
    if (create) {
      ExecuteOn(db, SchemaText().c_str());
      AddMissingColumns(db);
      EnsureLastRecordView(db);
      EnsureRollupTables(db);
      EnsureUtcStamps(db);
    }
    ReadStampBasis(db);
  } catch (const StoreError& error) {
    sqlite3_close(db);
    throw StoreError("cannot open database " + path + ": " + error.what());
  }
  return db;
}

Store::Store(const std::string& path, bool create)
    : path_(path), create_(create), db_(Open(path, create)) {}

Store::Store(const std::string& path, ReadOnly)
    : path_(path), create_(false), readOnly_(true), db_(Open(path, false, true)) {}

Store::~Store() { Close(); }

void Store::Close() {
  // A connection closes only once all its statements are finalised.
  for (auto& statement : statements_) statement.reset();
  if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db_);
  db_ = nullptr;
}

void Store::Reopen() {
  sqlite3* fresh = Open(path_, create_, readOnly_);
  Close();
  db_ = fresh;
  inTransaction_ = false;
  hasSummaryTable_ = false;
  deviceCodes_.clear();
  pendingCodes_.clear();
}

StatementUse Store::Use(Query query) {
  static_assert(sizeof kQueries / sizeof kQueries[0] == kQueryCount, "one text per query");
  auto& statement = statements_[query];
  if (!statement) statement = std::make_unique<Statement>(db_, QueryText(query));
  return StatementUse(*statement);
}

void Store::Execute(const char* sql) { ExecuteOn(db_, sql); }

void Store::Begin() {
  if (inTransaction_) return;
  // SQLite's own state decides: a transaction left open by a failure that nobody rolled back
  // would make every later BEGIN fail ("cannot start a transaction within a transaction").
  if (!sqlite3_get_autocommit(db_)) Rollback();
  Use(kBegin)->Step();
  inTransaction_ = true;
}

void Store::Commit() {
  if (!inTransaction_) return;
  try {
    Use(kCommit)->Step();
  } catch (const StoreError&) {
    // A COMMIT that failed on a full disk or an I/O error may leave the transaction open (SQLite
    // keeps it for a retry) or may have rolled it back: either way it ends here, so the next
    // cycle begins clean. Should the rollback fail too, the next Begin tries again; the
    // COMMIT's error is the one that says what happened.
    try {
      Rollback();
    } catch (const StoreError&) {
    }
    throw;
  }
  inTransaction_ = false;
  for (const auto& [dataId, code] : pendingCodes_) deviceCodes_[dataId] = code;
  pendingCodes_.clear();
}

void Store::Rollback() {
  inTransaction_ = false;
  pendingCodes_.clear();
  // SQLite rolls a transaction back by itself after some errors (SQLITE_FULL, SQLITE_IOERR):
  // a ROLLBACK then would only fail with "no transaction is active". Every kept statement has
  // been reset when its use ended, so nothing holds the transaction. In WAL mode a rollback
  // writes nothing, so it works on a full disk too.
  if (sqlite3_get_autocommit(db_)) return;
  Execute("ROLLBACK");
}

void Store::AddHistory(uint32_t dataId, const std::string& time, const unsigned char* record,
                       unsigned int length) {
  AddHistory(dataId, time, record, length, DecodeRecord(record, length));
}

void Store::AddHistory(uint32_t dataId, const std::string& time, const unsigned char* record,
                       unsigned int length, const std::optional<RecordValues>& values) {
  const auto statement = Use(kAddHistory);
  statement->Bind(1, static_cast<long long>(dataId)).Bind(2, time).Bind(3, record, length);
  BindValues(*statement, 4, values);
  statement->Step();
}

void Store::PutLastRecord(uint32_t dataId, int code, const std::string& time,
                          const unsigned char* record, unsigned int length) {
  const auto known = [&](const std::map<uint32_t, int>& codes) {
    const auto found = codes.find(dataId);
    return found != codes.end() && found->second == code;
  };
  if (known(deviceCodes_) || known(pendingCodes_)) return;
  pendingCodes_[dataId] = code;
  Use(kPutLastRecord)
      ->Bind(1, static_cast<long long>(dataId))
      .Bind(2, static_cast<long long>(code))
      .Bind(3, time)
      .Bind(4, record, length)
      .Step();
}

std::optional<StoredRecord> Store::LastRecord(uint32_t dataId) {
  const auto statement = Use(kLastRecord);
  statement->Bind(1, static_cast<long long>(dataId));
  if (!statement->Step()) return std::nullopt;
  return StoredRecord{statement->Text(0), statement->Blob(1)};
}

void Store::AddAlarmEvent(const AlarmEvent& event) {
  Use(kAddAlarmEvent)
      ->Bind(1, static_cast<long long>(event.dataId))
      .Bind(2, event.time)
      .Bind(3, event.alarmId)
      .Bind(4, event.signalName)
      .Bind(5, static_cast<long long>(event.level))
      .Bind(6, static_cast<long long>(event.active))
      .Bind(7, event.valueText)
      .Bind(8, event.alarmText)
      .Step();
}

std::map<std::string, AlarmEvent> Store::LastAlarmEvents(uint32_t dataId) {
  const auto statement = Use(kLastAlarmEvents);
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

void Store::AddLinkEvent(uint32_t dataId, const std::string& time, const LinkEvent& event) {
  Use(kAddLinkEvent)
      ->Bind(1, static_cast<long long>(dataId))
      .Bind(2, time)
      .Bind(3, std::string(event.lost ? "lost" : "restored"))
      .Bind(4, static_cast<long long>(event.failedCycles))
      .Bind(5, event.failure)
      .Step();
}

void Store::CountError(uint32_t dataId, const std::string& time, const std::string& what) {
  Use(kCountError)->Bind(1, static_cast<long long>(dataId)).Bind(2, what).Bind(3, time).Step();
}

void Store::AddThresholdValue(uint32_t dataId, const std::string& time, const std::string& alarmId,
                              const std::string& name, float value, int kind) {
  const auto statement = Use(kAddThresholdValue);
  statement->Bind(1, static_cast<long long>(dataId)).Bind(2, time).Bind(3, alarmId).Bind(4, name);
  BindFloat(*statement, 5, value);
  statement->Bind(6, static_cast<long long>(kind)).Step();
}

void Store::AddReport(uint32_t dataId, const std::string& time, const std::string& signalId,
                      float value) {
  const auto statement = Use(kAddReport);
  statement->Bind(1, static_cast<long long>(dataId)).Bind(2, time).Bind(3, signalId);
  BindFloat(*statement, 4, value);
  statement->Step();
}

void Store::AddMqttSummary(const std::string& time, const MqttSummaryEvent& summary) {
  if (!hasSummaryTable_) {
    Execute(kSummarySchema);
    hasSummaryTable_ = true;
  }
  Use(kAddMqttSummary)
      ->Bind(1, static_cast<long long>(summary.dataId))
      .Bind(2, time)
      .Bind(3, static_cast<long long>(summary.published))
      .Bind(4, static_cast<long long>(summary.dropped))
      .Bind(5, static_cast<long long>(summary.superseded))
      .Step();
}
