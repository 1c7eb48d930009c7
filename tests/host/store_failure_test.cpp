// SPDX-License-Identifier: Apache-2.0
// The store as the host assembles it for a line: what a failing store costs the devices' counts
// and what it says, on a clock the test steps; and what the line restores from it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "SensorLine.h"
#include "line/DeviceRestore.h"
#include "service/LineStore.h"
#include "store/StoreConnection.h"
#include "support/ScratchDirectory.h"

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::StartsWith;

class StoreFailures : public ::testing::Test {
 protected:
  // Another connection makes every history insert fail, as a full disk would.
  void Break(bool broken) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db,
                 broken ? "CREATE TRIGGER full BEFORE INSERT ON history BEGIN "
                          "SELECT RAISE(ABORT, 'disk full'); END"
                        : "DROP TRIGGER full",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  void PollAt(StoreOutage::Clock::duration sinceStart) {
    now = start + sinceStart;
    bench.line->PollDevice(sensor);
  }

  ScratchDirectory dir;
  const std::string path = dir.Path("host.db");
  SensorLine bench;
  HostedDevice& sensor = bench.AddSensor(21, 4);
  LineStore store{*bench.line, path};
  const StoreOutage::Clock::time_point start = StoreOutage::Clock::time_point{} + 1h;
  StoreOutage::Clock::time_point now = start;
};

TEST_F(StoreFailures, FirstAtOnceThenOneAMinuteEachAnErrorOfTheDeviceThenOneRecoveryNotice) {
  store.Sink().SetClock([this] { return now; });
  Break(true);
  for (auto at : {0s, 20s, 40s}) PollAt(at);
  EXPECT_EQ(sensor.errors, 1u);
  PollAt(60s);
  EXPECT_EQ(sensor.errors, 2u);
  Break(false);
  PollAt(62s);
  PollAt(63s);

  EXPECT_EQ(sensor.cycles, 6u);  // polling never stopped
  EXPECT_EQ(sensor.errors, 2u);
  EXPECT_TRUE(sensor.link.LastFailure().empty()) << "a store failure is not the link's";
  const std::vector<std::string> texts = bench.Texts();
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_THAT(texts[0], StartsWith("store failed, cycle not stored: database"));
  EXPECT_THAT(texts[1],
              StartsWith("store still failing, 2 more failure(s) since the last report: "));
  // Each lost cycle took its record and its history row with it.
  EXPECT_EQ(texts[2], "store works again after 62 s: 4 cycle(s) with 8 write(s) not stored");
}

TEST_F(StoreFailures, RestoringHandsEachDeviceItsStoredRecordAndCountsAnUnreadableStore) {
  bench.line->PollDevice(sensor);
  SensorLine restarted;
  HostedDevice& again = restarted.AddSensor(21, 4);
  LineStore reopened(*restarted.line, path);
  RestoredStates states = reopened.Restored();
  ASSERT_TRUE(states[21].record.has_value());
  RestoreDevices(restarted.line->Devices(), restarted.line->Events(), states);
  const auto restored = restarted.EventsOf<RestoredEvent>();
  ASSERT_EQ(restored.size(), 1u);
  EXPECT_DOUBLE_EQ(*restored[0].values->Value("temperature"), 23.4);
  EXPECT_EQ(again.recordStoredAt, states[21].record->time);
  EXPECT_EQ(again.cycles, 0u);

  states[21] = RestoredState{};
  states[21].failure = "database step: disk I/O error";
  RestoreDevices(restarted.line->Devices(), restarted.line->Events(), states);
  EXPECT_EQ(again.errors, 1u);
  EXPECT_THAT(restarted.EventsOf<ErrorEvent>().back().what, "database step: disk I/O error");
}

// SQLite's "unable to open database file" says neither what is missing nor what to do: the
// manual's ~/devhost before it is made, and a database of someone else's.
TEST(StoreOpening, AFailedOpenSaysWhetherTheFolderOrTheFileIsMissingAndWhatToDo) {
  ScratchDirectory dir;
  EXPECT_THAT([&] { StoreConnection(dir.Path("devhost/host.db"), true); },
              ::testing::ThrowsMessage<StoreError>(::testing::HasSubstr(
                  "does not exist: make it first, mkdir -p " + dir.Path("devhost/"))));
  EXPECT_THAT([&] { StoreConnection(dir.Path("none.db"), StoreConnection::ReadOnly{}); },
              ::testing::ThrowsMessage<StoreError>(
                  ::testing::HasSubstr("there is no database there: devhost run makes it")));
}

}  // namespace
