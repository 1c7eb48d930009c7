// SPDX-License-Identifier: Apache-2.0
// What a wrong clock and a restart must not cost: history pruned on a clock that is ahead, and
// an alarm cleared because the device forgot it at a restart.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <map>
#include <optional>

#include "SensorLine.h"
#include "events/DeviceTypes.h"
#include "events/EventFormat.h"
#include "events/FloatText.h"
#include "line/DeviceReports.h"
#include "line/DeviceRestore.h"
#include "service/LineStore.h"
#include "store/Retention.h"
#include "store/RollupBackfill.h"
#include "store/StampBasis.h"
#include "support/JsonText.h"
#include "support/OpenStore.h"
#include "support/ScratchDirectory.h"

namespace {

constexpr std::time_t kDay = 86400;

struct RetentionClock : ::testing::Test {
  void Stamp(std::time_t time) {
    const unsigned char record[47] = {};
    store->writer.Begin();
    store->writer.AddHistory(21, StoreTimeText(time), record, sizeof record);
    store->writer.Commit();
  }
  // The clock the host reads from now on: `wall`, the steady clock `steadyOffset` on from the
  // real one, the kernel's word on synchronisation.
  void SetClock(std::time_t wall, bool synchronised = true,
                std::chrono::seconds steadyOffset = std::chrono::seconds(0)) {
    const auto steady = std::chrono::steady_clock::now() + steadyOffset;
    SetClockSource([=] { return ClockReading{wall, steady, synchronised}; });
  }
  // A retention of one day on the clock set, as a host starting now has it.
  std::unique_ptr<Retention> StartRetention(std::vector<std::string>& notices) {
    return std::make_unique<Retention>(
        std::make_unique<StoreConnection>(path, false), RetentionDays{1, 365, 3650},
        [&notices](const std::string& text) { notices.push_back(text); });
  }
  static void Round(Retention& retention) {
    retention.RunUntil(std::chrono::steady_clock::now() + std::chrono::hours(1));
  }
  // One retention round on a clock that says `now`; the notices it gave.
  std::vector<std::string> PruneAt(std::time_t now) {
    std::vector<std::string> notices;
    SetClock(now);
    Round(*StartRetention(notices));
    return notices;
  }
  std::size_t Rows() { return store->reader.History({}).size(); }
  void TearDown() override { SetClockSource({}); }

  ScratchDirectory dir;
  const std::string path = dir.Path("host.db");
  std::unique_ptr<OpenStore> store = std::make_unique<OpenStore>(path, true);
  const std::time_t real = std::time(nullptr);
};

TEST_F(RetentionClock, DeletesNothingWhileTheCutoffWouldTakeTheNewestAndKeepsRowsLaterThanNow) {
  Stamp(real - 2 * 3600);
  Stamp(real - 3600);
  // Started three days ahead: every real row is older than the cutoff.
  auto notices = PruneAt(real + 3 * kDay);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("would remove the newest history row"), std::string::npos);
  EXPECT_EQ(Rows(), 2u);

  // A row stamped while the clock was ahead, and the clock set right: that row is told and
  // kept, the rest is pruned as ever.
  Stamp(real - 5 * kDay);
  Stamp(real + 3 * kDay);
  notices = PruneAt(real);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].rfind("clock: 1 history row(s) are stamped later than now (", 0), 0u)
      << notices[0];
  EXPECT_NE(notices[0].find("they are kept, retention goes on with the rest"), std::string::npos)
      << notices[0];
  EXPECT_NE(notices[1].find("history 1"), std::string::npos) << notices[1];
  EXPECT_EQ(Rows(), 3u);

  // Once the clock agrees with what is stored, the old rows go.
  notices = PruneAt(real + 3 * kDay + 60);
  EXPECT_EQ(Rows(), 1u);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].rfind("retention: pruned rows before", 0), 0u) << notices[0];
}

// A running host keeps one Retention and checks again every kCheckEvery: the doubt holds each
// of those checks, not only the first, and warns once.
TEST_F(RetentionClock, TheDoubtHoldsEveryLaterCheckOfTheSameRetention) {
  Stamp(real - 5 * kDay);
  Stamp(real - 3600);
  std::vector<std::string> notices;
  SetClock(real + 3 * kDay);
  const auto retention = StartRetention(notices);
  for (int check = 1; check <= 3; ++check) {
    Round(*retention);
    // Both clocks go on together: no step, only the stored rows say the clock is wrong.
    SetClock(real + 3 * kDay + check * 600, true, check * Retention::kCheckEvery);
  }
  EXPECT_EQ(Rows(), 2u);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("would remove the newest history row"), std::string::npos);
}

// A host started a month behind stores its rows with that clock; NTP steps it right. The rows
// of before the step are held: neither this host nor the next one prunes them, while a row old
// by the right clock goes.
TEST_F(RetentionClock, RowsStampedBeforeAStepForwardAreHeldAcrossRestarts) {
  using std::chrono::seconds;
  Stamp(real - 5 * kDay);
  std::vector<std::string> notices;
  SetClock(real - 30 * kDay);
  const auto retention = StartRetention(notices);
  Stamp(real - 30 * kDay);
  Round(*retention);
  // Rounds go by on the wrong clock, which nothing shows wrong yet.
  SetClock(real - 30 * kDay + 300, true, seconds(300));
  Stamp(real - 30 * kDay + 300);
  Round(*retention);
  SetClock(real, true, seconds(315));
  Round(*retention);
  ASSERT_FALSE(notices.empty());
  EXPECT_NE(notices.back().find("clock: the clock moved forward 2591685 s"), std::string::npos)
      << notices.back();
  Stamp(real + 600);
  SetClock(real + 700, true, seconds(1015));
  Round(*retention);
  EXPECT_EQ(Rows(), 4u);

  notices.clear();
  SetClock(real + 1200);
  Round(*StartRetention(notices));
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("history 1"), std::string::npos) << notices[0];
  EXPECT_EQ(Rows(), 3u);
  EXPECT_EQ(store->reader.History({})[0].time, StoreTimeText(real - 30 * kDay));
}

// Three days ahead, with a row already stamped so: nothing looks wrong in what is stored, but
// the kernel has not called the clock synchronised; once NTP steps it back, the next check waits.
TEST_F(RetentionClock, DeletesNothingOnAnUnsynchronisedClockNorRightAfterAStepBack) {
  Stamp(real - 2 * 3600);
  Stamp(real + 3 * kDay);
  std::vector<std::string> notices;
  SetClock(real + 3 * kDay + 60, false);
  const auto retention = StartRetention(notices);
  Round(*retention);
  EXPECT_EQ(Rows(), 2u);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_NE(notices[0].find("not synchronised"), std::string::npos) << notices[0];

  SetClock(real + 120, true, std::chrono::seconds(60));
  Round(*retention);
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_NE(notices[1].find("moved back"), std::string::npos) << notices[1];
  EXPECT_EQ(Rows(), 2u);
}

// The zone the process runs in, for one scope.
struct ZoneScope {
  explicit ZoneScope(const char* zone) {
    if (const char* was = std::getenv("TZ")) before = was;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneScope() {
    if (before) {
      setenv("TZ", before->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::optional<std::string> before;
};

// Autumn in Berlin: 02:30 comes twice. Each is its own stamp and its own hour, a bound a person
// writes is its first one, and a bound back from now is the same instant in any zone. A database
// of local stamps from before is converted once, as local time of the zone the host runs in.
TEST(Stamps, MeanOneInstantAcrossDaylightSavingAndZonesAndOldRowsAreConverted) {
  ZoneScope berlin("Europe/Berlin");
  const std::time_t summer = 1792888200;  // 2026-10-25 00:30 UTC, 02:30 summer time
  const std::time_t winter = summer + 3600;
  EXPECT_EQ(StoreTimeText(summer), "2026-10-25 00:30:00");
  EXPECT_EQ(StoreTimeText(winter), "2026-10-25 01:30:00");
  EXPECT_EQ(IsoTimeText(summer), IsoTimeText(winter));
  EXPECT_EQ(IsoFromStoreText(StoreTimeText(winter)), "2026-10-25T02:30:00");
  // Machine output says the instant; a table for people, the zone where the hour repeats.
  EXPECT_EQ(IsoInstantFromStoreText(StoreTimeText(summer)), "2026-10-25T02:30:00+02:00");
  EXPECT_EQ(IsoInstantFromStoreText(StoreTimeText(winter)), "2026-10-25T02:30:00+01:00");
  EXPECT_EQ(PeopleTimeFromStoreText(StoreTimeText(summer)), "2026-10-25T02:30:00 CEST");
  EXPECT_EQ(PeopleTimeFromStoreText(StoreTimeText(winter + 3600)), "2026-10-25T03:30:00");
  EXPECT_EQ(ParseTimeBound("2026-10-25T02:30:00", winter), StoreTimeText(summer));
  const auto hoursBack = ParseTimeBound("2h", winter);
  {
    ZoneScope newYork("America/New_York");
    EXPECT_EQ(ParseTimeBound("2h", winter), hoursBack);
  }

  ScratchDirectory dir;
  const std::string path = dir.Path("old.db");
  {
    OpenStore store(path, true);
    const unsigned char record[47] = {};
    store.writer.Begin();
    store.writer.AddHistory(21, StoreTimeText(summer), record, sizeof record);
    store.writer.AddHistory(21, StoreTimeText(winter), record, sizeof record);
    store.writer.Commit();
    RowQuery query;
    query.dataId = 21;
    std::vector<long long> counts;
    store.reader.ForEachAggregate(Level::kRaw, Level::kHour, query,
                                  [&](const Aggregate& bucket) { counts.push_back(bucket.count); });
    EXPECT_EQ(counts, (std::vector<long long>{1, 1}));
    // As a host before UTC stamps left it: local time, no mark.
    store.writer.Begin();
    store.writer.AddHistory(21, "2026-07-01 12:00:00", record, sizeof record);
    store.writer.Commit();
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db,
               "DROP TABLE time_basis; UPDATE history SET time = '2026-10-25 02:30:00' WHERE id "
               "= 1; UPDATE history SET time = '2026-10-25 03:30:00' WHERE id = 2",
               nullptr, nullptr, nullptr);
  sqlite3_close(db);
  {
    OpenStore reader(path, false);
    EXPECT_EQ(IsoFromStoreText(reader.reader.NewestHistoryTime()), "2026-10-25T03:30:00");
  }
  OpenStore host(path, true);
  std::vector<std::string> times;
  for (const HistoryRow& row : host.reader.History({})) times.push_back(row.time);
  // The repeated hour of an old row is read as its first.
  EXPECT_EQ(times, (std::vector<std::string>{"2026-07-01 10:00:00", "2026-10-25 00:30:00",
                                             "2026-10-25 02:30:00"}));
  EXPECT_EQ(IsoFromStoreText(host.reader.NewestHistoryTime()), "2026-10-25T03:30:00");
}

// "table.column" of each column of the database where some row holds `stamp`.
std::vector<std::string> ColumnsHolding(sqlite3* db, const std::string& stamp) {
  const auto add = [](void* to, int, char** values, char**) {
    static_cast<std::vector<std::string>*>(to)->push_back(values[0]);
    return 0;
  };
  std::vector<std::string> queries, holding;  // a query per column, made by SQL
  sqlite3_exec(db,
               ("SELECT 'SELECT ''' || m.name || '.' || c.name || ''' FROM ' || m.name || ' WHERE "
                "' || c.name || ' = ''" +
                stamp +
                "'' LIMIT 1' FROM sqlite_master AS m, pragma_table_info(m.name) AS c WHERE "
                "m.type = 'table' ORDER BY m.name, c.name")
                   .c_str(),
               add, &queries, nullptr);
  for (const std::string& query : queries) sqlite3_exec(db, query.c_str(), add, &holding, nullptr);
  return holding;
}

// Fault caught: a stamped table that the conversion of an older database leaves out, whose rows
// then read shifted by the zone's offset. Every stamp the store writes is made local, as a host
// before UTC stamps wrote it; after the conversion none is left.
TEST(Stamps, TheConversionOfAnOlderDatabaseReachesEveryStampedTable) {
  ZoneScope berlin("Europe/Berlin");
  const std::string utc = "2026-07-01 10:00:00", local = "2026-07-01 12:00:00";
  ScratchDirectory dir;
  const std::string path = dir.Path("old.db");
  {
    OpenStore store(path, true);
    const unsigned char record[47] = {};
    AlarmEvent alarm;
    alarm.dataId = 21;
    alarm.time = utc;
    store.writer.Begin();
    store.writer.PutLastRecord(22, 5156, utc, record, sizeof record);  // no history row of 22
    store.writer.AddHistory(21, utc, record, sizeof record);
    store.writer.AddAlarmEvent(alarm);
    store.writer.AddLinkEvent(21, utc, LinkEvent{21, true, 3, "timeout"});
    store.writer.CountError(21, utc, "timeout");
    store.writer.AddThresholdValue(21, utc, "T01001", "t", 30, 0);
    store.writer.AddReport(21, utc, "s", 1);
    store.writer.AddMqttSummary(utc, MqttSummaryEvent{21, 1, 0, 0});
    store.writer.AddHistory(21, "2026-07-01 11:00:00", record, sizeof record);
    store.writer.Commit();
    RollupBackfill::FoldAll(store.connection);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  const std::vector<std::string> stamped = ColumnsHolding(db, utc);
  EXPECT_THAT(stamped, ::testing::IsSupersetOf({"alarm_events.time", "device_records.time",
                                                "rollup_hours.time", "mqtt_summaries.time"}));
  std::string localise = "DROP TABLE time_basis;";
  for (const std::string& column : stamped) {
    const std::string table = column.substr(0, column.find('.'));
    const std::string name = column.substr(table.size() + 1);
    localise += "UPDATE " + table + " SET " + name + " = '" + local + "' WHERE " + name + " = '" +
                utc + "';";
  }
  EXPECT_EQ(sqlite3_exec(db, localise.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  { OpenStore host(path, true); }
  EXPECT_EQ(ColumnsHolding(db, local), std::vector<std::string>{});
  EXPECT_EQ(ColumnsHolding(db, utc), stamped);
  sqlite3_close(db);
}

// Autumn in Berlin, a database of local stamps from before, written in this order: 02:50 summer
// time, 02:14 winter time (the clock went back), 03:05. Not converted yet, history's newest rows
// are the ones written last; converted, the row order tells the two 02:00 hours apart and each
// has its own rollup bucket again. The conversion says what it does.
TEST(Stamps, TheRepeatedHourOfAnOldDatabaseIsToldApartByTheOrderOfItsRows) {
  ZoneScope berlin("Europe/Berlin");
  ScratchDirectory dir;
  const std::string path = dir.Path("old.db");
  {
    OpenStore store(path, true);
    const unsigned char record[47] = {};
    for (const char* local :
         {"2026-10-25 02:50:00", "2026-10-25 02:14:00", "2026-10-25 03:05:00"}) {
      store.writer.Begin();
      store.writer.AddHistory(21, local, record, sizeof record);
      store.writer.Commit();
    }
    RollupBackfill::FoldAll(store.connection);  // as a host before UTC stamps folded them
    store.connection.Execute("DROP TABLE time_basis");
  }
  {
    OpenStore reader(path, false);  // not converted yet: the rows written last are the newest
    EXPECT_EQ(reader.reader.History({{}, {}, 2}).front().time, "2026-10-25 02:14:00");
  }
  std::vector<std::string> told;
  SetStampProgress([&told](const std::string& text) { told.push_back(text); });
  OpenStore host(path, true);
  SetStampProgress({});
  const auto rows = host.reader.History({});
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].time, "2026-10-25 01:14:00");
  Statement hours(host.connection.Handle(),
                  "SELECT time, count FROM rollup_hours WHERE data_id = 21 ORDER BY time");
  std::vector<std::string> buckets;
  while (hours.Step()) buckets.push_back(hours.Text(0) + " " + std::to_string(hours.Integer(1)));
  EXPECT_EQ(buckets, (std::vector<std::string>{"2026-10-25 00:00:00 1", "2026-10-25 01:00:00 1"}));
  ASSERT_EQ(told.size(), 2u);
  EXPECT_EQ(told[0],
            "database: converting its stamps from local time to UTC, once: 3 history row(s)");
}

const Json::Value kMode5 = ParseJson(R"({"appSetting": {"b_mode": 5}, "thresholdSetting": {"t":
    {"ID": "T01", "SignalName": "温度", "UpValue": 30, "UpReconverValue": 28, "UpAlarmLevel": 2}}})");

// Raised at 31, the host restarted at 29.5: inside the band the alarm stays, as it would have
// on the device that raised it; at the recover value it clears.
TEST(AlarmAfterRestart, StaysActiveInsideTheHysteresisBandAndClearsAtTheRecoverValue) {
  ScratchDirectory dir;
  const std::string path = dir.Path("host.db");
  {
    SensorLine before;
    HostedDevice& sensor = before.AddSensor(21, 4, kMode5);
    LineStore store(*before.line, path);
    before.bus->Slave(4)[1] = 310;
    before.line->PollDevice(sensor);
    before.bus->Slave(4)[1] = 295;
    WaitForNextSecond(sensor);  // a new value shows in the next second's document
    before.line->PollDevice(sensor);
    ASSERT_EQ(before.EventsOf<AlarmEvent>().size(), 1u);
  }
  SensorLine after;
  HostedDevice& sensor = after.AddSensor(21, 4, kMode5);
  after.bus->Slave(4)[1] = 295;
  LineStore store(*after.line, path);
  RestoreDevices(after.line->Devices(), after.line->Events(),
                 store.Restored());  // replays the last record, 29.5
  after.line->PollDevice(sensor);
  EXPECT_TRUE(after.EventsOf<AlarmEvent>().empty());
  EXPECT_TRUE(sensor.alarms.LastChanges().at("T01001").active);
  // The rule is announced in the state the host holds, not the device's forgetful report.
  const auto rules = after.EventsOf<AlarmRuleEvent>();
  ASSERT_EQ(rules.size(), 1u);
  EXPECT_TRUE(rules[0].state.active);
  EXPECT_EQ(after.Texts(), std::vector<std::string>{"alarm T01001 of device 21 kept active after "
                                                    "the restart: value 29.5 has not passed its "
                                                    "recover value"});

  after.bus->Slave(4)[1] = 280;
  WaitForNextSecond(sensor);
  after.line->PollDevice(sensor);
  const auto changes = after.EventsOf<AlarmEvent>();
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_FALSE(changes[0].active);
  EXPECT_EQ(changes[0].valueText, "28");
}

// The device writes an alarm's value to nine digits (27.8999996 for 27.9): the host shows and
// keeps the figure a person reads, and leaves texts that are no such figure as they came.
TEST(AlarmValues, AValueTextReadsAsTheFloatsShortestFigure) {
  SensorLine bench;
  HostedDevice& sensor = bench.AddSensor(21, 4, kMode5);
  bench.bus->Slave(4)[1] = 310;
  bench.line->PollDevice(sensor);
  bench.bus->Slave(4)[1] = 279;
  WaitForNextSecond(sensor);
  bench.line->PollDevice(sensor);
  const auto changes = bench.EventsOf<AlarmEvent>();
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[1].valueText, "27.9");
  EXPECT_THAT(EventLine(changes[1]).value_or(""), ::testing::EndsWith("): value 27.9"));
  for (const char* kept : {"28.90", "27.123456789", "open", ""})
    EXPECT_EQ(HostValueText(kept), kept);
}

// The device reports every rule at each evaluation: each is announced once, at the first one,
// inactive, named by its signal and side.
TEST(AlarmRules, EveryRuleIsAnnouncedOnceFromTheFirstEvaluationOnWithItsSignalAndSide) {
  const Json::Value settings = ParseJson(R"({"appSetting": {"b_mode": 5}, "thresholdSetting": {
      "temperature": {"ID": "T01", "SignalName": "温度", "UpValue": 30, "UpReconverValue": 28,
                      "UpAlarmLevel": 2, "LowValue": 5, "LowReconverValue": 7, "LowAlarmLevel": 1},
      "x": {"ID": "H01", "SignalName": "湿度", "Up2Value": 95, "Up2ReconverValue": 92,
            "Up2AlarmLevel": 3}}})");
  SensorLine bench;
  HostedDevice& sensor = bench.AddSensor(21, 4, settings);
  sensor.type = DeviceTypeNamed(sensor.object->DeviceType());
  bench.line->PollDevice(sensor);
  WaitForNextSecond(sensor);
  bench.line->PollDevice(sensor);

  std::map<std::string, std::string> names;
  for (const AlarmRuleEvent& rule : bench.EventsOf<AlarmRuleEvent>()) {
    EXPECT_FALSE(rule.state.active) << rule.name;
    EXPECT_TRUE(names.emplace(rule.state.alarmId, rule.name).second) << rule.name;
  }
  EXPECT_EQ(names, (std::map<std::string, std::string>{{"H01002", "湿度 high 2 (H01002)"},
                                                       {"T01001", "Temperature high (T01001)"},
                                                       {"T01003", "Temperature low (T01003)"}}));
  EXPECT_TRUE(bench.EventsOf<AlarmEvent>().empty());  // nothing changed
}

}  // namespace
