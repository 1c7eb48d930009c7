// SPDX-License-Identifier: Apache-2.0
// Rollups in-process: the figures a stored cycle leaves, the level a request is served from,
// retention per level, and the backfill of a database from before rollups, in batches and
// resumed after a stop, which retention waits for.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <ctime>

#include "events/Clock.h"
#include "store/Retention.h"
#include "store/RetentionHolds.h"
#include "store/RollupBackfill.h"
#include "support/OpenStore.h"
#include "support/ScratchDirectory.h"

namespace {

// A DO3008RA record with these values (tenths): humidity, temperature (signed), pressure.
std::vector<unsigned char> Record(int temperature, int humidity, int pressure) {
  std::vector<unsigned char> record(47, 0);
  const auto put = [&](std::size_t at, int tenths) {
    record[at] = static_cast<unsigned char>(tenths & 0xFF);
    record[at + 1] = static_cast<unsigned char>((tenths >> 8) & 0xFF);
  };
  put(12, humidity);
  put(14, temperature);
  put(18, pressure);
  return record;
}

void Add(OpenStore& store, const std::string& time, int temperature) {
  const auto record = Record(temperature, 450 + temperature % 7, 10132);
  store.writer.Begin();
  store.writer.AddHistory(12, time, record.data(), 47);
  store.writer.Commit();
}

std::vector<Aggregate> Aggregates(OpenStore& store, Level source, Level bucket) {
  std::vector<Aggregate> rows;
  store.reader.ForEachAggregate(source, bucket, {},
                                [&](const Aggregate& row) { rows.push_back(row); });
  return rows;
}

void Execute(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

struct Rollups : ::testing::Test {
  ScratchDirectory dir;
  const std::string path = dir.Path("host.db");
};

TEST_F(Rollups, EachCycleUpdatesItsMinuteAndHourWithAnExactSum) {
  OpenStore store(path, true);
  // Values whose sum in floating point is not exact: 0.1 + 0.2 + ... The tenths are.
  for (int second = 0; second < 3; ++second) {
    Add(store, "2026-12-08 09:14:0" + std::to_string(second), second + 1);
  }
  Add(store, "2026-12-08 09:15:00", -35);
  Add(store, "2026-12-08 10:00:00", 250);
  const auto minutes = Aggregates(store, Level::kMinute, Level::kMinute);
  ASSERT_EQ(minutes.size(), 3u);
  EXPECT_EQ(minutes[0].time, "2026-12-08 09:14:00");
  EXPECT_EQ(minutes[0].count, 3);
  ASSERT_EQ(RollupColumns()[0].key, "temperature");
  const FieldFigures t = *minutes[0].fields[0];
  EXPECT_EQ(t.min, 0.1);
  EXPECT_EQ(t.max, 0.3);
  EXPECT_EQ(t.sumTenths, 6);
  EXPECT_EQ(t.Mean(3), 0.2);
  const auto hours = Aggregates(store, Level::kHour, Level::kHour);
  ASSERT_EQ(hours.size(), 2u);
  EXPECT_EQ(hours[0].count, 4);
  EXPECT_EQ(hours[0].fields[0]->min, -3.5);
  EXPECT_EQ(hours[0].fields[0]->sumTenths, 1 + 2 + 3 - 35);
  // The same buckets computed from the rows (history --every without rollups).
  EXPECT_EQ(Aggregates(store, Level::kRaw, Level::kMinute), minutes);
  EXPECT_EQ(Aggregates(store, Level::kRaw, Level::kHour), hours);
  // A cycle whose transaction is rolled back leaves no figure behind.
  const auto record = Record(999, 450, 10132);
  store.writer.Begin();
  store.writer.AddHistory(12, "2026-12-08 10:00:01", record.data(), 47);
  store.writer.Rollback();
  EXPECT_EQ(Aggregates(store, Level::kHour, Level::kHour), hours);
}

// Fault caught: a fold that casts a value times ten to an integer instead of rounding it. A value
// stored as a float widened to double falls short of many tenths (27.3 is 27.2999992...), and
// its means came out a tenth low.
TEST_F(Rollups, AFoldKeepsTheTenthsOfAValueStoredAsAWidenedFloat) {
  OpenStore store(path, true);
  Add(store, "2026-12-08 09:14:00", 273);
  Add(store, "2026-12-08 09:15:00", 1);  // closes the minute of 27.3
  ASSERT_NO_FATAL_FAILURE(
      Execute(path, "UPDATE history SET temperature = 27.299999237060547 WHERE id = 1"));
  RollupBackfill::FoldAll(store.connection);
  const auto minutes = Aggregates(store, Level::kMinute, Level::kMinute);
  ASSERT_EQ(minutes.size(), 2u);
  EXPECT_EQ(minutes[0].fields[0]->sumTenths, 273);
  EXPECT_EQ(minutes[0].fields[0]->Mean(1), 27.3);
}

TEST(RollupLevel, TheCoarsestThatFillsThePictureAndReachesBackToTheFirstData) {
  const long long start = 277'777LL * 3600 + 20 * 60 + 20;  // 09:20:20 of some day
  const auto levels = [](std::optional<long long> raw, std::optional<long long> minute,
                         std::optional<long long> hour) {
    return std::array<std::optional<long long>, kLevels>{raw, minute, hour};
  };
  const auto all = levels(start, start - 20, start - 20 * 60 - 20);
  const long long year = 365 * 86400, columns = 1090;
  EXPECT_EQ(ChooseLevel(year / columns, all), Level::kHour);
  EXPECT_EQ(ChooseLevel(30 * 86400 / columns, all), Level::kMinute);
  EXPECT_EQ(ChooseLevel(86400 / columns, all), Level::kMinute);
  EXPECT_EQ(ChooseLevel(3600 / columns, all), Level::kRaw);
  // Rows pruned after a month: a day half a year back comes from the hours; minutes pruned
  // before the rows: from the rows.
  EXPECT_EQ(ChooseLevel(86400 / columns, levels(start + 30 * 86400, start + 300 * 86400, start)),
            Level::kHour);
  EXPECT_EQ(ChooseLevel(86400 / columns, levels(start, start + 3600, start)), Level::kRaw);
  EXPECT_EQ(ChooseLevel(60, levels(std::nullopt, std::nullopt, std::nullopt)), Level::kRaw);
}

TEST_F(Rollups, EachLevelIsPrunedAfterItsOwnRetention) {
  OpenStore store(path, true);
  const std::time_t now = std::time(nullptr);
  for (int days : {400, 40, 0}) Add(store, StoreTimeText(now - days * 86400 - 7200), 200);
  Pruner pruner(store.connection, RetentionDays{1, 30, 3650}, now);
  while (pruner.Step()) {
  }
  EXPECT_EQ(store.reader.History({}).size(), 1u);
  EXPECT_EQ(Aggregates(store, Level::kMinute, Level::kMinute).size(), 1u);
  EXPECT_EQ(Aggregates(store, Level::kHour, Level::kHour).size(), 3u);
  EXPECT_NE(pruner.Summary().find("; before "), std::string::npos) << pruner.Summary();
  EXPECT_NE(pruner.Summary().find("minute rollups 2"), std::string::npos) << pruner.Summary();
}

// A bucket that holds a row retention holds stays, wherever in the bucket the held span begins.
TEST_F(Rollups, ABucketThatHoldsAHeldRowIsKept) {
  OpenStore store(path, true);
  const std::time_t now = std::time(nullptr);
  const std::time_t held = (now - 40 * 86400) / 3600 * 3600 + 30 * 60 + 30;  // hh:30:30
  for (const std::time_t time : {held, now - 3600}) Add(store, StoreTimeText(time), 200);
  RetentionHolds(store.connection).HoldSpan(StoreTimeText(held), StoreTimeText(held + 5));
  Pruner pruner(store.connection, RetentionDays{1, 30, 30}, now);
  while (pruner.Step()) {
  }
  EXPECT_EQ(pruner.Deleted(), 0);
  EXPECT_EQ(Aggregates(store, Level::kMinute, Level::kMinute).size(), 2u);
  EXPECT_EQ(Aggregates(store, Level::kHour, Level::kHour).size(), 2u);
}

// An older database's rows are not pruned before the backfill has rolled them up: the hours
// of rows past their retention are kept only in the rollups.
TEST_F(Rollups, RetentionWaitsForTheBackfillOfAnOlderDatabase) {
  // The kernel may call this machine's clock unsynchronised, which holds every prune: the test
  // vouches for it.
  struct TrustedClock {
    TrustedClock() {
      SetClockSource([] {
        ClockReading reading = ReadSystemClock();
        reading.synchronised = true;
        return reading;
      });
    }
    ~TrustedClock() { SetClockSource({}); }
  } trusted;
  const std::time_t now = std::time(nullptr);
  {
    OpenStore store(path, true);
    for (int days : {40, 0}) Add(store, StoreTimeText(now - days * 86400 - 7200), 200);
  }
  ASSERT_NO_FATAL_FAILURE(
      Execute(path, "DROP TABLE rollup_minutes; DROP TABLE rollup_hours; DROP TABLE rollup_state"));
  OpenStore store(path, true);
  std::vector<std::string> notices;
  Retention retention(std::make_unique<StoreConnection>(path, false), RetentionDays{1, 30, 3650},
                      [&](const std::string& text) { notices.push_back(text); });
  const auto later = std::chrono::steady_clock::now() + std::chrono::hours(1);
  retention.RunUntil(later);
  EXPECT_EQ(store.reader.History({}).size(), 2u) << (notices.empty() ? "" : notices.back());

  while (RollupBackfill::BackfillBatch(store.connection, 1000) > 0) {
  }
  retention.RunUntil(later);  // checks again at once after one that waited for the backfill
  EXPECT_EQ(store.reader.History({}).size(), 1u);
  EXPECT_EQ(Aggregates(store, Level::kHour, Level::kHour).size(), 2u);
}

TEST_F(Rollups, ADatabaseFromBeforeRollupsGetsThemInBatchesResumedAfterAStop) {
  std::vector<Aggregate> minutes, hours;
  {
    OpenStore store(path, true);
    for (int i = 0; i < 500; ++i) {
      Add(store, CalendarText(*CalendarSeconds("2026-12-08 09:58:30") + i * 7), i % 300 - 40);
    }
    // What the cycles' own rollups were: the backfill must come to the same.
    minutes = Aggregates(store, Level::kMinute, Level::kMinute);
    hours = Aggregates(store, Level::kHour, Level::kHour);
  }
  ASSERT_NO_FATAL_FAILURE(
      Execute(path, "DROP TABLE rollup_minutes; DROP TABLE rollup_hours; DROP TABLE rollup_state"));
  {
    OpenStore store(path, true);  // the first start of a host with rollups
    EXPECT_EQ(store.reader.Rollups().backfillEnd, 500);
    EXPECT_FALSE(store.reader.Rollups().Complete());
    EXPECT_EQ(RollupBackfill::BackfillBatch(store.connection, 200), 200);
    // A cycle stored meanwhile, into a bucket the backfill has still to fill.
    Add(store, "2026-12-08 10:10:03", 123);
  }  // stopped here: the next start goes on
  OpenStore store(path, true);
  EXPECT_EQ(store.reader.Rollups().backfilledTo, 200);
  long long batches = 0;
  while (RollupBackfill::BackfillBatch(store.connection, 200) > 0) ++batches;
  EXPECT_EQ(batches, 2);
  EXPECT_TRUE(store.reader.Rollups().Complete());
  const auto built = Aggregates(store, Level::kMinute, Level::kMinute);
  EXPECT_EQ(built, Aggregates(store, Level::kRaw, Level::kMinute));
  EXPECT_EQ(Aggregates(store, Level::kHour, Level::kHour),
            Aggregates(store, Level::kRaw, Level::kHour));
  // Only the cycle stored meanwhile differs from what the cycles had left.
  EXPECT_EQ(built.size(), minutes.size());
  int differing = 0;
  for (std::size_t i = 0; i < built.size(); ++i) differing += !(built[i] == minutes[i]);
  EXPECT_EQ(differing, 1);
  EXPECT_EQ(hours.size(), 2u);
}

// Folds take the closed minutes only; a row that comes late into a folded minute, and the open
// minute, are added by the readers: every listing equals the one computed from the rows.
TEST_F(Rollups, FoldedMinutesAndTheRowsAfterThemReadAsTheRowsThemselves) {
  OpenStore store(path, true);
  for (int i = 0; i < 12; ++i) {
    Add(store, CalendarText(*CalendarSeconds("2026-12-08 09:58:50") + i * 20), i * 3 - 7);
  }
  const auto raw = [&](Level bucket) { return Aggregates(store, Level::kRaw, bucket); };
  EXPECT_EQ(RollupBackfill::FoldBatch(store.connection, 5), 5);  // a batch: the rows up to 10:00:10
  while (RollupBackfill::FoldBatch(store.connection, 5) > 0) {
  }
  // The minute of the newest row (10:02:30) stays open: its two rows are not folded.
  EXPECT_EQ(store.reader.Rollups().foldedTo, 10);
  Add(store, "2026-12-08 09:59:30", 44);  // late, into a folded minute and hour
  for (const Level level : {Level::kMinute, Level::kHour}) {
    EXPECT_EQ(Aggregates(store, level, level), raw(level)) << FactsOf(level).name;
  }
  RowQuery newest;
  newest.limit = 2;
  std::vector<Aggregate> two;
  store.reader.ForEachAggregate(Level::kMinute, Level::kMinute, newest,
                                [&](const Aggregate& row) { two.push_back(row); });
  const auto all = raw(Level::kMinute);
  EXPECT_EQ(two, std::vector<Aggregate>(all.end() - 2, all.end()));
  const auto span = store.reader.Span(Level::kMinute, 12, {});
  ASSERT_TRUE(span);
  EXPECT_EQ(span->second, "2026-12-08 10:02:00");
}

// A database of the version that wrote last_record with every cycle and rolled up as it stored:
// the table becomes device_records behind the view, every row counts as folded, and the last
// record is the newest history row, kept by retention as the device's last.
TEST_F(Rollups, AnEarlierVersionsDatabaseKeepsItsLastRecordAndFolds) {
  {
    OpenStore store(path, true);
    for (int i = 0; i < 3; ++i) Add(store, "2026-12-08 09:1" + std::to_string(i) + ":00", i);
  }
  ASSERT_NO_FATAL_FAILURE(Execute(
      path,
      "DROP VIEW last_record; ALTER TABLE device_records RENAME TO last_record; "
      "INSERT INTO last_record SELECT 12, 5156, time, record FROM history WHERE id = 3; "
      "ALTER TABLE rollup_state DROP COLUMN folded_to; INSERT INTO rollup_minutes SELECT "
      "data_id, substr(time, 1, 16) || ':00', 1, temperature, temperature, round(temperature * "
      "10), humidity, humidity, round(humidity * 10), pressure, pressure, round(pressure * 10) "
      "FROM history"));
  OpenStore store(path, true);
  EXPECT_EQ(store.reader.Rollups().foldedTo, 3);
  EXPECT_EQ(store.reader.StoredDevices(), std::vector<uint32_t>{12});
  Add(store, "2026-12-08 09:13:00", 7);
  const auto last = store.reader.LastRecord(12);
  ASSERT_TRUE(last);
  EXPECT_EQ(last->time, "2026-12-08 09:13:00");
  EXPECT_EQ(Aggregates(store, Level::kMinute, Level::kMinute),
            Aggregates(store, Level::kRaw, Level::kMinute));
  // Another device's newer row closes that minute: device 12's newest row is folded and old.
  const auto other = Record(5, 450, 10132);
  store.writer.Begin();
  store.writer.AddHistory(13, "2026-12-08 09:20:00", other.data(), 47);
  store.writer.Commit();
  const std::time_t now = *CalendarSeconds("2027-12-08 00:00:00");
  Pruner pruner(store.connection, RetentionDays{1, 3650, 3650}, now);
  while (pruner.Step()) {
  }
  EXPECT_EQ(store.reader.Rollups().foldedTo, 4);
  EXPECT_EQ(store.reader.History({}).size(), 2u);
  EXPECT_EQ(store.reader.LastRecord(12)->time, "2026-12-08 09:13:00");
}

}  // namespace
