// SPDX-License-Identifier: Apache-2.0
// Fills a devhost database with a long history of one device, for measuring range queries,
// pruning and plots on a year of 1-second cycles (scripts/history-bench.sh). Not run in CI.
//
//   history_fill [--rows-only] DATABASE [DAYS=365] [DATA_ID=12]
//
// The schema and indexes are the host's own (StoreSchema); the rows end now. Temperature, humidity
// and pressure follow daily and weekly waves; every 30 days the link is lost for 10 minutes (no
// rows, link events), and T01001 is raised above 30 °C and cleared below 28 °C. The rows are
// written as a host from before rollups wrote them; then the rollups are built as a host does for
// such a database (RollupBackfill::BackfillBatch, in batches), timed, unless --rows-only leaves
// that to a host. A DATABASE that exists already is not filled again: only its rollups are built,
// where it lacks them.
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <algorithm>
#include <chrono>

#include "store/RollupBackfill.h"
#include "store/Rollups.h"
#include "store/StoreConnection.h"
#include "store/TimeRange.h"

namespace {

void Check(int result, sqlite3* db) {
  if (result != SQLITE_OK && result != SQLITE_DONE && result != SQLITE_ROW) {
    std::fprintf(stderr, "history_fill: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

sqlite3_stmt* Prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* statement = nullptr;
  Check(sqlite3_prepare_v2(db, sql, -1, &statement, nullptr), db);
  return statement;
}

void Run(sqlite3_stmt* statement, sqlite3* db) {
  Check(sqlite3_step(statement), db);
  sqlite3_reset(statement);
}

// The rollups of every row, in the batches a running host takes between its poll rounds.
void BuildRollups(const char* path) {
  using Clock = std::chrono::steady_clock;
  StoreConnection store(path, true);  // makes the rollup tables of a database without them
  // As the host's backfill: no checkpoint in a batch (the host's lines make them).
  store.SetAutoCheckpoint(0);
  const RollupState state = ReadRollupState(store.Handle());
  if (state.Complete()) return;
  std::fprintf(stderr, "history_fill: rolling up rows %lld to %lld in batches of %d\n",
               state.backfilledTo + 1, state.backfillEnd, RollupBackfill::kBatchRows);
  const auto started = Clock::now();
  auto told = started;
  Clock::duration longest{};
  long long rows = 0;
  // Batches that took up to 2, 5, 10, 20, 50 ms and longer.
  const double bounds[] = {2, 5, 10, 20, 50};
  long long counts[6] = {};
  while (true) {
    const auto before = Clock::now();
    const long long taken = RollupBackfill::BackfillBatch(store, RollupBackfill::kBatchRows);
    const auto took = Clock::now() - before;
    longest = std::max(longest, took);
    const double ms = std::chrono::duration<double, std::milli>(took).count();
    ++counts[std::upper_bound(std::begin(bounds), std::end(bounds), ms) - std::begin(bounds)];
    rows += taken;
    if (taken == 0) break;
    if (Clock::now() - told > std::chrono::seconds(30)) {
      told = Clock::now();
      std::fprintf(stderr, "history_fill: %lld rows rolled up\n", rows);
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
  std::fprintf(stderr,
               "history_fill: %lld rows rolled up in %.1f s (%.0f rows/s), longest batch "
               "%.1f ms\n",
               rows, seconds, static_cast<double>(rows) / seconds,
               std::chrono::duration<double, std::milli>(longest).count());
  std::fprintf(stderr,
               "history_fill: batches up to 2 ms %lld, 5 ms %lld, 10 ms %lld, 20 ms %lld, 50 ms "
               "%lld, longer %lld\n",
               counts[0], counts[1], counts[2], counts[3], counts[4], counts[5]);
}

}  // namespace

int main(int argc, char** argv) {
  const bool rowsOnly = argc > 1 && std::string(argv[1]) == "--rows-only";
  if (rowsOnly) {
    --argc;
    ++argv;
  }
  // A database named like an option ("--help") is a typing error, not a file to fill for an hour.
  if (argc < 2 || argv[1][0] == '-') {
    std::fprintf(stderr, "usage: history_fill [--rows-only] DATABASE [DAYS] [DATA_ID]\n");
    return 2;
  }
  const long long days = argc > 2 ? std::atoll(argv[2]) : 365;
  const long long dataId = argc > 3 ? std::atoll(argv[3]) : 12;
  if (std::FILE* existing = std::fopen(argv[1], "rb")) {
    std::fclose(existing);
    if (!rowsOnly) BuildRollups(argv[1]);
    return 0;
  }
  { StoreConnection schema(argv[1], true); }
  sqlite3* db = nullptr;
  Check(sqlite3_open(argv[1], &db), db);
  // As a host from before rollups left it: its rows are rolled up afterwards.
  sqlite3_exec(db, "DROP TABLE rollup_minutes; DROP TABLE rollup_hours; DROP TABLE rollup_state",
               nullptr, nullptr, nullptr);
  sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
  sqlite3_stmt* history =
      Prepare(db,
              "INSERT INTO history (data_id, time, record, temperature, humidity, pressure, "
              "temperature_calibration, humidity_calibration, pressure_calibration, address, "
              "baud_code) VALUES (?, ?, zeroblob(47), ?, ?, ?, 0, 0, 0, 1, 2)");
  sqlite3_stmt* alarm =
      Prepare(db,
              "INSERT INTO alarm_events (data_id, time, alarm_id, signal_name, level, active, "
              "value_text, alarm_text) VALUES (?, ?, 'T01001', '温度', 2, ?, ?, '')");
  sqlite3_stmt* link =
      Prepare(db,
              "INSERT INTO link_events (data_id, time, event, failed_cycles, failure) "
              "VALUES (?, ?, ?, 3, 'read input registers 0/4: Connection timed out')");
  const std::time_t end = std::time(nullptr);
  const std::time_t start = end - static_cast<std::time_t>(days * 86400);
  bool alarmActive = false, linkLost = false;
  long long rows = 0;
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (std::time_t t = start; t < end; ++t) {
    const std::string time = StoreTimeText(t);
    const bool outage = (t - start) % (30 * 86400) < 600 && t - start > 86400;
    if (outage != linkLost) {
      sqlite3_bind_int64(link, 1, dataId);
      sqlite3_bind_text(link, 2, time.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(link, 3, outage ? "lost" : "restored", -1, SQLITE_STATIC);
      Run(link, db);
      linkLost = outage;
    }
    if (outage) continue;
    const double day = 2 * M_PI * static_cast<double>(t % 86400) / 86400.0;
    const double week = 2 * M_PI * static_cast<double>(t % (7 * 86400)) / (7 * 86400.0);
    const double temperature = std::round((25 + 6 * std::sin(day) + std::sin(week * 3)) * 10) / 10;
    const double humidity = std::round((50 - 12 * std::sin(day)) * 10) / 10;
    const double pressure = std::round((1013 + 6 * std::sin(week)) * 10) / 10;
    sqlite3_bind_int64(history, 1, dataId);
    sqlite3_bind_text(history, 2, time.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_double(history, 3, temperature);
    sqlite3_bind_double(history, 4, humidity);
    sqlite3_bind_double(history, 5, pressure);
    Run(history, db);
    if ((temperature >= 30) != alarmActive && (temperature >= 30 || temperature <= 28)) {
      alarmActive = temperature >= 30;
      sqlite3_bind_int64(alarm, 1, dataId);
      sqlite3_bind_text(alarm, 2, time.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(alarm, 3, alarmActive ? 1 : 0);
      sqlite3_bind_text(alarm, 4, std::to_string(temperature).c_str(), -1, SQLITE_TRANSIENT);
      Run(alarm, db);
    }
    if (++rows % 1000000 == 0) {
      sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr);
      std::fprintf(stderr, "history_fill: %lld rows\n", rows);
    }
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_finalize(history);
  sqlite3_finalize(alarm);
  sqlite3_finalize(link);
  sqlite3_close(db);
  std::fprintf(stderr, "history_fill: %lld rows in %s\n", rows, argv[1]);
  if (!rowsOnly) BuildRollups(argv[1]);
  return 0;
}
