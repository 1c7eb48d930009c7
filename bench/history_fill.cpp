// SPDX-License-Identifier: Apache-2.0
// Fills a devhost database with a long history of one device, for measuring range queries,
// pruning and plots on a year of 1-second cycles (scripts/history-bench.sh). Not run in CI.
//
//   history_fill [--rows-only] DATABASE [DAYS=365] [DATA_ID=12]
//
// Written through the host's own cycle writer (CycleWriter), as a host polling a DO3008RA every
// second writes them: the device's row of device_records, and per cycle the plug-in's 47-byte
// record with its decoded columns; the rows end now. Temperature, humidity and pressure follow
// daily and weekly waves; every 30 days the link is lost for 10 minutes (no rows, link events), and
// T01001 is raised at 30 °C and cleared at 28 °C.
// The rows are written as a host from before rollups wrote them; then the rollups are built as a
// host does for such a database (RollupBackfill::BackfillBatch, in batches), timed, unless
// --rows-only leaves that to a host. A DATABASE that exists already is not filled again: only its
// rollups are built, where it lacks them.
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <algorithm>
#include <chrono>

#include "do3008ra/DO3008RA_Data_t.h"
#include "events/FloatText.h"
#include "events/TimeRange.h"
#include "store/CycleWriter.h"
#include "store/RollupBackfill.h"
#include "store/Rollups.h"
#include "store/StoreConnection.h"

namespace {

void Check(int result, sqlite3* db) {
  if (result != SQLITE_OK && result != SQLITE_DONE && result != SQLITE_ROW) {
    std::fprintf(stderr, "history_fill: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

const char* const kOutageFailure = "read input registers 0/4: Connection timed out";

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

// The values of second `t`: daily and weekly waves, in the tenths the sensor reports.
struct Weather {
  int temperature, humidity, pressure;
};

Weather WeatherAt(std::time_t t) {
  const double day = 2 * M_PI * static_cast<double>(t % 86400) / 86400.0;
  const double week = 2 * M_PI * static_cast<double>(t % (7 * 86400)) / (7 * 86400.0);
  return {static_cast<int>(std::lround((25 + 6 * std::sin(day) + std::sin(week * 3)) * 10)),
          static_cast<int>(std::lround((50 - 12 * std::sin(day)) * 10)),
          static_cast<int>(std::lround((1013 + 6 * std::sin(week)) * 10))};
}

// The record the plug-in sends for those values at local time `t`: both copies of each register
// block as read, calibrations 0, address 1 at 9600 baud (code 2).
DO3008RA_Data_t RecordAt(uint32_t dataId, std::time_t t, const Weather& weather) {
  DO3008RA_Data_t record{};
  record.dataId = dataId;
  const uint16_t measured[] = {static_cast<uint16_t>(weather.humidity),
                               static_cast<uint16_t>(weather.temperature), 0,
                               static_cast<uint16_t>(weather.pressure)};
  std::copy(std::begin(measured), std::end(measured), record.holdingMeasure);
  std::copy(std::begin(measured), std::end(measured), record.inputMeasure);
  const uint16_t bus[] = {1, 2};
  std::copy(std::begin(bus), std::end(bus), record.holdingBus);
  std::copy(std::begin(bus), std::end(bus), record.inputBus);
  std::tm local{};
  localtime_r(&t, &local);
  record.time =
      TTime{static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint8_t>(local.tm_mon + 1),
            static_cast<uint8_t>(local.tm_mday),         static_cast<uint8_t>(local.tm_hour),
            static_cast<uint8_t>(local.tm_min),          static_cast<uint8_t>(local.tm_sec)};
  return record;
}

// T01001 as the device raises it at 30 °C and clears it at 28 °C, with the texts the host keeps.
AlarmEvent TemperatureAlarm(uint32_t dataId, const std::string& time, bool active, int tenths) {
  const std::string value = ShortestFloatText(static_cast<float>(tenths) / 10.0f);
  return {dataId, time,   "T01001", do3008ra::kTemperatureName,
          2,      active, value,    active ? "当前值" + value + "高于阈值:30" : ""};
}

// What a host polling every second for `days` days up to now stores, through the host's own
// store: the device's row of device_records, every cycle's record with its decoded columns, the
// link events and alarm changes. The rollup tables are dropped afterwards, as a host from before
// rollups left its database. Returns the rows stored.
long long Fill(const char* path, long long days, uint32_t dataId) {
  const std::time_t end = std::time(nullptr);
  const std::time_t start = end - static_cast<std::time_t>(days * 86400);
  bool alarmActive = false, linkLost = false;
  long long rows = 0;
  {
    StoreConnection connection(path, true);
    CycleWriter store(connection);
    store.Begin();
    for (std::time_t t = start; t < end; ++t) {
      const std::string time = StoreTimeText(t);
      const bool outage = (t - start) % (30 * 86400) < 600 && t - start > 86400;
      if (outage != linkLost) {
        store.AddLinkEvent(dataId, time, LinkEvent{dataId, outage, 3, kOutageFailure});
        linkLost = outage;
      }
      if (outage) continue;
      const Weather weather = WeatherAt(t);
      const DO3008RA_Data_t record = RecordAt(dataId, t, weather);
      const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
      if (rows == 0) store.PutLastRecord(dataId, do3008ra::kDataCode, time, bytes, sizeof record);
      store.AddHistory(dataId, time, bytes, sizeof record);
      const int tenths = weather.temperature;
      if ((tenths >= 300) != alarmActive && (tenths >= 300 || tenths <= 280)) {
        alarmActive = tenths >= 300;
        store.AddAlarmEvent(TemperatureAlarm(dataId, time, alarmActive, tenths));
      }
      if (++rows % 1000000 == 0) {
        store.Commit();
        store.Begin();
        std::fprintf(stderr, "history_fill: %lld rows\n", rows);
      }
    }
    store.Commit();
  }
  sqlite3* db = nullptr;
  Check(sqlite3_open(path, &db), db);
  Check(sqlite3_exec(db,
                     "DROP TABLE rollup_minutes; DROP TABLE rollup_hours; DROP TABLE rollup_state",
                     nullptr, nullptr, nullptr),
        db);
  sqlite3_close(db);
  return rows;
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
  const long long rows = Fill(argv[1], days, static_cast<uint32_t>(dataId));
  std::fprintf(stderr, "history_fill: %lld rows in %s\n", rows, argv[1]);
  if (!rowsOnly) BuildRollups(argv[1]);
  return 0;
}
