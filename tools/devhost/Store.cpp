#include "Store.h"

#include <sqlite3.h>

#include <ctime>

#include "RecordView.h"

namespace {

constexpr int kBusyTimeoutMs = 5000;

const char* const kSchema = R"(
CREATE TABLE IF NOT EXISTS history (
  id INTEGER PRIMARY KEY,
  data_id INTEGER NOT NULL,
  time TEXT NOT NULL,
  record BLOB NOT NULL,
  temperature REAL, humidity REAL, pressure REAL,
  temperature_calibration REAL, humidity_calibration REAL, pressure_calibration REAL,
  address INTEGER, baud_code INTEGER);
CREATE INDEX IF NOT EXISTS history_by_device ON history (data_id, id);
CREATE TABLE IF NOT EXISTS last_record (
  data_id INTEGER PRIMARY KEY,
  code INTEGER NOT NULL,
  time TEXT NOT NULL,
  record BLOB NOT NULL);
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
)";

// One prepared statement, finalised on every way out.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) Fail("prepare");
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, long long value) {
    Check(sqlite3_bind_int64(statement_, index, value));
    return *this;
  }
  Statement& Bind(int index, double value) {
    Check(sqlite3_bind_double(statement_, index, value));
    return *this;
  }
  Statement& Bind(int index, const std::string& text) {
    Check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  Statement& Bind(int index, const unsigned char* data, unsigned int length) {
    Check(sqlite3_bind_blob(statement_, index, data, static_cast<int>(length), SQLITE_TRANSIENT));
    return *this;
  }
  Statement& BindNull(int index) {
    Check(sqlite3_bind_null(statement_, index));
    return *this;
  }
  // True while a row is there to read.
  bool Step() {
    const int result = sqlite3_step(statement_);
    if (result == SQLITE_ROW) return true;
    if (result != SQLITE_DONE) Fail("step");
    return false;
  }
  long long Integer(int column) const { return sqlite3_column_int64(statement_, column); }
  std::string Text(int column) const {
    const auto* text = sqlite3_column_text(statement_, column);
    return text ? reinterpret_cast<const char*>(text) : "";
  }
  std::vector<unsigned char> Blob(int column) const {
    const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(statement_, column));
    return std::vector<unsigned char>(data, data + sqlite3_column_bytes(statement_, column));
  }

 private:
  void Check(int result) const {
    if (result != SQLITE_OK) Fail("bind");
  }
  [[noreturn]] void Fail(const char* what) const {
    throw StoreError(std::string("database ") + what + ": " + sqlite3_errmsg(db_));
  }

  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

void BindValues(Statement& statement, int first, const unsigned char* record, unsigned int length) {
  const auto values = DecodeRecord(record, length);
  if (!values) {
    for (int i = 0; i < 8; ++i) statement.BindNull(first + i);
    return;
  }
  statement.Bind(first, values->temperature)
      .Bind(first + 1, values->humidity)
      .Bind(first + 2, values->pressure)
      .Bind(first + 3, values->temperatureCalibration)
      .Bind(first + 4, values->humidityCalibration)
      .Bind(first + 5, values->pressureCalibration)
      .Bind(first + 6, static_cast<long long>(values->address))
      .Bind(first + 7, static_cast<long long>(values->baudCode));
}

}  // namespace

std::string NowText() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

Store::Store(const std::string& path, bool create) {
  const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0);
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    const std::string reason = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    throw StoreError("cannot open database " + path + ": " + reason);
  }
  try {
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    Execute("PRAGMA journal_mode=WAL");
    Execute("PRAGMA synchronous=NORMAL");
    if (create) Execute(kSchema);
  } catch (const StoreError& error) {
    sqlite3_close(db_);
    throw StoreError("cannot open database " + path + ": " + error.what());
  }
}

Store::~Store() {
  if (inTransaction_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db_);
}

void Store::Execute(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string reason = message ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    throw StoreError("database: " + reason);
  }
}

void Store::Begin() {
  if (inTransaction_) return;
  Execute("BEGIN IMMEDIATE");
  inTransaction_ = true;
}

void Store::Commit() {
  if (!inTransaction_) return;
  inTransaction_ = false;
  Execute("COMMIT");
}

void Store::AddHistory(uint32_t dataId, const std::string& time, const unsigned char* record,
                       unsigned int length) {
  Statement statement(db_,
                      "INSERT INTO history (data_id, time, record, temperature, humidity, "
                      "pressure, temperature_calibration, humidity_calibration, "
                      "pressure_calibration, address, baud_code) "
                      "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  statement.Bind(1, static_cast<long long>(dataId)).Bind(2, time).Bind(3, record, length);
  BindValues(statement, 4, record, length);
  statement.Step();
}

void Store::PutLastRecord(uint32_t dataId, int code, const std::string& time,
                          const unsigned char* record, unsigned int length) {
  Statement statement(db_,
                      "INSERT OR REPLACE INTO last_record (data_id, code, time, record) "
                      "VALUES (?, ?, ?, ?)");
  statement.Bind(1, static_cast<long long>(dataId))
      .Bind(2, static_cast<long long>(code))
      .Bind(3, time)
      .Bind(4, record, length)
      .Step();
}

std::optional<std::vector<unsigned char>> Store::LastRecord(uint32_t dataId) {
  Statement statement(db_, "SELECT record FROM last_record WHERE data_id = ?");
  statement.Bind(1, static_cast<long long>(dataId));
  if (!statement.Step()) return std::nullopt;
  return statement.Blob(0);
}

void Store::AddAlarmEvent(const AlarmEvent& event) {
  Statement statement(db_,
                      "INSERT INTO alarm_events (data_id, time, alarm_id, signal_name, level, "
                      "active, value_text, alarm_text) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
  statement.Bind(1, static_cast<long long>(event.dataId))
      .Bind(2, event.time)
      .Bind(3, event.alarmId)
      .Bind(4, event.signalName)
      .Bind(5, static_cast<long long>(event.level))
      .Bind(6, static_cast<long long>(event.active))
      .Bind(7, event.valueText)
      .Bind(8, event.alarmText)
      .Step();
}

std::map<std::string, bool> Store::AlarmStates(uint32_t dataId) {
  Statement statement(db_,
                      "SELECT alarm_id, active FROM alarm_events WHERE data_id = ? ORDER BY id");
  statement.Bind(1, static_cast<long long>(dataId));
  std::map<std::string, bool> states;
  while (statement.Step()) states[statement.Text(0)] = statement.Integer(1) != 0;
  return states;
}

void Store::AddThresholdValue(uint32_t dataId, const std::string& time, const std::string& alarmId,
                              const std::string& name, float value, int kind) {
  Statement statement(db_,
                      "INSERT INTO threshold_values (data_id, time, alarm_id, name, value, kind) "
                      "VALUES (?, ?, ?, ?, ?, ?)");
  statement.Bind(1, static_cast<long long>(dataId)).Bind(2, time).Bind(3, alarmId).Bind(4, name);
  // SQLite stores no NaN; an unreadable value is kept as NULL.
  if (value == value) {
    statement.Bind(5, static_cast<double>(value));
  } else {
    statement.BindNull(5);
  }
  statement.Bind(6, static_cast<long long>(kind)).Step();
}

void Store::AddReport(uint32_t dataId, const std::string& time, const std::string& signalId,
                      float value) {
  Statement statement(
      db_, "INSERT INTO analog_reports (data_id, time, signal_id, value) VALUES (?, ?, ?, ?)");
  statement.Bind(1, static_cast<long long>(dataId)).Bind(2, time).Bind(3, signalId);
  if (value == value) {
    statement.Bind(4, static_cast<double>(value));
  } else {
    statement.BindNull(4);
  }
  statement.Step();
}

std::vector<HistoryRow> Store::History(std::optional<uint32_t> dataId, long long limit) {
  // The newest `limit` rows, handed out oldest first.
  Statement statement(db_,
                      "SELECT id, data_id, time, record FROM (SELECT * FROM history "
                      "WHERE ?1 IS NULL OR data_id = ?1 ORDER BY id DESC LIMIT ?2) ORDER BY id");
  if (dataId) {
    statement.Bind(1, static_cast<long long>(*dataId));
  } else {
    statement.BindNull(1);
  }
  statement.Bind(2, limit > 0 ? limit : -1);
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
