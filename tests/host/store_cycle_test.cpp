// SPDX-License-Identifier: Apache-2.0
// A cycle is stored whole or not at all: a write that fails in the middle of a cycle takes the
// cycle's earlier writes with it, stops its later ones, and the next cycle stores as usual.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>

#include "SensorLine.h"
#include "line/DeviceReports.h"
#include "service/LineStore.h"
#include "support/JsonText.h"
#include "support/ScratchDirectory.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// Two alarms that are raised and cleared together, so a cycle that changes them writes two
// alarm rows between its record and its history row.
const Json::Value kTwoAlarms = ParseJson(R"({"appSetting": {"b_mode": 5}, "thresholdSetting": {
    "t": {"ID": "T01", "SignalName": "温度", "UpValue": 30, "UpReconverValue": 28,
          "UpAlarmLevel": 2},
    "h": {"ID": "H01", "SignalName": "湿度", "UpValue": 60, "UpReconverValue": 55,
          "UpAlarmLevel": 2}}})");

class MidCycleFailure : public ::testing::Test {
 protected:
  // Another connection makes the second alarm row of a cycle fail when it carries one of the
  // failing cycles' values, as a constraint or an I/O error on one statement would: the
  // cycle's first alarm row is in by then. Set up once, so that nothing waits on the lock a
  // transaction left open would hold.
  void FailSecondAlarmRowOf(const std::string& valueTexts) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    const std::string sql =
        "CREATE TRIGGER second_alarm BEFORE INSERT ON alarm_events WHEN NEW.value_text IN (" +
        valueTexts +
        ") AND EXISTS (SELECT 1 FROM alarm_events WHERE time = NEW.time) BEGIN "
        "SELECT RAISE(ABORT, 'second alarm row refused'); END";
    char* error = nullptr;
    const int result = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    const std::string why = error != nullptr ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    ASSERT_EQ(result, SQLITE_OK) << why;
  }
  // One cycle in a second of its own with these temperature and humidity values (tenths); the
  // time its rows carry.
  std::string Cycle(uint16_t temperature, uint16_t humidity) {
    bench.bus->Slave(4)[1] = temperature;
    bench.bus->Slave(4)[0] = humidity;
    WaitForNextSecond(sensor);
    bench.line->PollDevice(sensor);
    return sensor.recordStoredAt;
  }
  std::multiset<std::string> Times(const std::string& table) {
    std::multiset<std::string> times;
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, ("SELECT time FROM " + table).c_str(), -1, &statement, nullptr);
    while (sqlite3_step(statement) == SQLITE_ROW) {
      times.insert(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return times;
  }

  ScratchDirectory dir;
  const std::string path = dir.Path("host.db");
  SensorLine bench;
  HostedDevice& sensor = bench.AddSensor(21, 4, kTwoAlarms);
  LineStore store{*bench.line, path};
};

TEST_F(MidCycleFailure, LeavesNoRowOfAFailedCycleInAnyTableAndStoringResumes) {
  ASSERT_NO_FATAL_FAILURE(FailSecondAlarmRowOf("'27', '50', '32', '66'"));
  const std::string raised = Cycle(310, 650);
  const std::string failedClear = Cycle(270, 500);
  const std::string failedRaise = Cycle(320, 660);
  const std::string cleared = Cycle(275, 520);
  const std::string raisedAgain = Cycle(310, 650);

  ASSERT_EQ(sensor.cycles, 5u);
  ASSERT_EQ(bench.EventsOf<AlarmEvent>().size(), 10u) << "each cycle changes both alarms";
  const std::set<std::string> failed{failedClear, failedRaise};
  ASSERT_EQ(failed.size(), 2u);
  for (const char* table : {"history", "alarm_events", "threshold_values", "analog_reports",
                            "link_events", "device_errors"}) {
    for (const std::string& time : Times(table)) {
      EXPECT_EQ(failed.count(time), 0u) << table << " holds a row of the failed cycle at " << time;
    }
  }
  EXPECT_EQ(Times("history"), (std::multiset<std::string>{raised, cleared, raisedAgain}));
  EXPECT_EQ(Times("alarm_events"), (std::multiset<std::string>{raised, raised, cleared, cleared,
                                                               raisedAgain, raisedAgain}));
  EXPECT_EQ(Times("last_record"), std::multiset<std::string>{raisedAgain});

  // One report for the two failed cycles, then one notice that storing works again.
  std::vector<std::string> failures;
  for (const auto& error : bench.EventsOf<ErrorEvent>()) {
    if (error.fromStore) failures.push_back(error.what);
  }
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_THAT(failures[0], StartsWith("store failed, cycle not stored: "));
  EXPECT_THAT(failures[0], HasSubstr("second alarm row refused"));
  std::vector<std::string> notices;
  for (const auto& notice : bench.EventsOf<NoticeEvent>()) notices.push_back(notice.text);
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_THAT(notices[0], StartsWith("store works again after "));
  EXPECT_THAT(notices[0], HasSubstr(": 2 cycle(s) with "));
}

}  // namespace
