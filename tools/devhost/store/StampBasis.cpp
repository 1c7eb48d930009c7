// SPDX-License-Identifier: Apache-2.0
// The store's stamps are UTC (events/TimeText.h). A database written before kept local time
// without an offset: the first host that opens it converts every stamp once, as local time of
// the zone it runs in (TZ), in one transaction, and marks the database (table time_basis).
// From then on this process reads the database as UTC (ReadStampBasis).
#include "store/StampBasis.h"

#include <sqlite3.h>

#include <ctime>
#include <string>

#include "events/TimeText.h"
#include "store/Statement.h"
#include "store/Store.h"

namespace {

bool StampTableExists(sqlite3* db, const char* name) {
  Statement statement(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = ?1");
  statement.Bind(1, std::string(name));
  return statement.Step() && statement.Integer(0) > 0;
}

void RunStampSql(sqlite3* db, const std::string& sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string reason = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    throw StoreError("database: converting the stamps to UTC: " + reason);
  }
}

// stamp_to_utc(text): a local store text as UTC, read as a bound a person writes is
// (LocalFieldsTime: the repeated autumn hour is its first); a text that is no time, as it was.
void StampToUtc(sqlite3_context* context, int, sqlite3_value** arguments) {
  const unsigned char* raw = sqlite3_value_text(arguments[0]);
  const std::string text = raw != nullptr ? reinterpret_cast<const char*>(raw) : "";
  std::tm fields{};
  const char* end = strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &fields);
  if (end == nullptr || *end != '\0' || text.size() != 19) {
    sqlite3_result_value(context, arguments[0]);
    return;
  }
  const std::string utc = StoreTimeText(LocalFieldsTime(fields));
  sqlite3_result_text(context, utc.c_str(), static_cast<int>(utc.size()), SQLITE_TRANSIENT);
}

std::string UtcAssignment(const char* column) {
  return std::string(column) + " = stamp_to_utc(" + column + ")";
}

void ConvertTable(sqlite3* db, const char* table, const char* column) {
  if (!StampTableExists(db, table)) return;
  RunStampSql(db, std::string("UPDATE ") + table + " SET " + UtcAssignment(column));
}

// The rollups are keyed by (data_id, time): converted beside the table and copied back, so that
// no bucket meets another's old key on the way.
void ConvertKeyedTable(sqlite3* db, const char* table) {
  if (!StampTableExists(db, table)) return;
  const std::string t = table;
  RunStampSql(db, "CREATE TEMP TABLE stamp_conversion AS SELECT * FROM " + t + "; UPDATE " +
                      "temp.stamp_conversion SET " + UtcAssignment("time") + "; DELETE FROM " + t +
                      "; INSERT OR IGNORE INTO " + t + " SELECT * FROM temp.stamp_conversion; " +
                      "DROP TABLE temp.stamp_conversion");
}

}  // namespace

void EnsureUtcStamps(sqlite3* db) {
  if (StampTableExists(db, "time_basis")) return;
  SetStoreTextLocal(false);
  RunStampSql(db, "BEGIN IMMEDIATE");
  try {
    // Another line's store may have converted it meanwhile.
    if (!StampTableExists(db, "time_basis")) {
      if (sqlite3_create_function(db, "stamp_to_utc", 1, SQLITE_UTF8, nullptr, StampToUtc, nullptr,
                                  nullptr) != SQLITE_OK) {
        throw StoreError(std::string("database: ") + sqlite3_errmsg(db));
      }
      // An earlier last_record table is device_records by now (EnsureSchema renames it first).
      for (const char* table : {"history", "device_records", "alarm_events", "link_events",
                                "threshold_values", "analog_reports", "mqtt_summaries"}) {
        ConvertTable(db, table, "time");
      }
      ConvertTable(db, "device_errors", "last_time");
      ConvertKeyedTable(db, "rollup_minutes");
      ConvertKeyedTable(db, "rollup_hours");
      RunStampSql(
          db,
          "CREATE TABLE time_basis (basis TEXT NOT NULL); INSERT INTO time_basis VALUES ('utc')");
    }
    RunStampSql(db, "COMMIT");
  } catch (const StoreError&) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

void ReadStampBasis(sqlite3* db) {
  // A database no host of this version has opened, with rows in it: local time.
  SetStoreTextLocal(!StampTableExists(db, "time_basis") && StampTableExists(db, "history"));
}
