// SPDX-License-Identifier: Apache-2.0
// The store's stamps are UTC (events/TimeText.h). A database written before kept local time
// without an offset: the first host that opens it converts every stamp once, as local time of
// the zone it runs in (TZ), in one transaction, and marks the database (table time_basis).
// From then on this process reads the database as UTC (ReadStampBasis).
#include "store/StampBasis.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "events/TimeText.h"
#include "store/OrderedStamps.h"
#include "store/Rollups.h"
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

StampProgress& Listener() {
  static StampProgress listener;
  return listener;
}

void Tell(const std::string& text) {
  if (Listener()) return Listener()(text);
  std::fprintf(stderr, "devhost: %s\n", text.c_str());
}

// What a conversion tells while it runs: its start and end, and how far it is at most once a
// second (238,597 rows take some seconds, a year's some minutes).
class ConversionProgress {
 public:
  using Clock = std::chrono::steady_clock;
  explicit ConversionProgress(long long rows) : rows_(rows) {
    // A new database, or one without rows: nothing worth telling.
    if (rows_ == 0) return;
    Tell("database: converting its stamps from local time to UTC, once: " + std::to_string(rows) +
         " history row(s)");
  }
  void Converted(long long rows) {
    if (Clock::now() - lastTold_ < std::chrono::seconds(1) || rows_ == 0) return;
    lastTold_ = Clock::now();
    Tell("database: converting the stamps to UTC: " + std::to_string(rows * 100 / rows_) + "% (" +
         std::to_string(rows) + " of " + std::to_string(rows_) + " history rows)");
  }
  void Done() {
    if (rows_ == 0) return;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(ms) / 1000.0);
    Tell(std::string("database: stamps converted to UTC in ") + seconds + " s");
  }

 private:
  long long rows_;
  Clock::time_point started_ = Clock::now(), lastTold_ = Clock::now();
};

long long RowCount(sqlite3* db, const char* table) {
  Statement count(db, (std::string("SELECT count(*) FROM ") + table).c_str());
  return count.Step() ? count.Integer(0) : 0;
}

// A table with ids, in the order its rows were written (OrderedStamps), a chunk at a time;
// `converted` hears how many rows are done.
void ConvertInOrder(sqlite3* db, const char* table, OrderedStamps& stamps,
                    const std::function<void(long long)>& converted) {
  if (!StampTableExists(db, table)) return;
  const std::string t = table;
  Statement read(db,
                 ("SELECT id, time FROM " + t + " WHERE id > ?1 ORDER BY id LIMIT 10000").c_str());
  Statement write(db, ("UPDATE " + t + " SET time = ?2 WHERE id = ?1").c_str());
  long long after = std::numeric_limits<long long>::min(), done = 0;
  for (;;) {
    std::vector<std::pair<long long, std::string>> rows;
    read.Bind(1, after);
    while (read.Step()) rows.emplace_back(read.Integer(0), read.Text(1));
    read.Reset();
    if (rows.empty()) return;
    for (const auto& [id, text] : rows) {
      write.Bind(1, id).Bind(2, stamps.ToUtc(text)).Step();
      write.Reset();
    }
    after = rows.back().first;
    done += static_cast<long long>(rows.size());
    if (converted) converted(done);
  }
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
      ConversionProgress progress(RowCount(db, "history"));
      OrderedStamps history;
      ConvertInOrder(db, "history", history, [&](long long rows) { progress.Converted(rows); });
      for (const char* table : {"alarm_events", "link_events", "threshold_values", "analog_reports",
                                "mqtt_summaries"}) {
        OrderedStamps stamps;
        ConvertInOrder(db, table, stamps, {});
      }
      // An earlier last_record table is device_records by now (EnsureSchema renames it first).
      ConvertTable(db, "device_records", "time");
      ConvertTable(db, "device_errors", "last_time");
      ConvertKeyedTable(db, "rollup_minutes");
      ConvertKeyedTable(db, "rollup_hours");
      // A bucket of the repeated hour held the rows of both; each has its own hour now.
      for (const auto& [from, to] : history.Repeated()) RefoldSpan(db, from, to);
      progress.Done();
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

void SetStampProgress(StampProgress tell) { Listener() = std::move(tell); }

void ReadStampBasis(sqlite3* db) {
  // A database no host of this version has opened, with rows in it: local time.
  SetStoreTextLocal(!StampTableExists(db, "time_basis") && StampTableExists(db, "history"));
}
