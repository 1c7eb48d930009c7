// SPDX-License-Identifier: Apache-2.0
// The host killed with SIGKILL at random moments, as a power cut kills it: during its start-up
// and the restore of the last record, during poll cycles, alarm changes and register writes
// through its socket. After every kill the database must be whole and consistent, the next start
// must restore the last stored record, and no more than the cycle in flight may be lost. The
// database starts as one from before rollups, with rows enough that the host's backfill of
// their rollups is killed too; every rollup must match the rows it stands for.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "Bench.h"
#include "Text.h"
#include "Wait.h"

namespace {

using namespace std::chrono_literals;

// Fewer kills under the sanitizers, where every start of the host is several times slower. The
// suite's count keeps this test no longer than the rest of its suite; a longer run by hand sets
// E2E_KILLS.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSuiteKills = 40;
#else
constexpr int kSuiteKills = 120;
#endif

int KillCount() {
  const char* asked = std::getenv("E2E_KILLS");
  const int kills = asked ? std::atoi(asked) : 0;
  return kills > 0 ? kills : kSuiteKills;
}
const int kKills = KillCount();

// The last request of every poll cycle, as the simulator logs it when it answers.
constexpr const char* kCycleEnd = "request fc4 2000/2: none";

// The simulator writes a line for each request it answers; once the host is dead the log stops
// growing. Waits until it has stood still for a moment (bounded).
std::string SettledLog(const Bench& bench) {
  std::string log = bench.SensorLog();
  for (int round = 0; round < 50; ++round) {
    std::this_thread::sleep_for(30ms);
    std::string again = bench.SensorLog();
    if (again.size() == log.size()) return again;
    log = std::move(again);
  }
  return log;
}

// Waits until `file` holds `text`, looking every millisecond: a backfill of the old rows takes
// some tens of milliseconds. False after 20 s.
bool SaysSoon(const std::string& file, const std::string& text) {
  for (int i = 0; i < 20000; ++i) {
    if (Contains(ReadFile(file), text)) return true;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

struct StoreState {
  long long rows = 0;
  Bytes lastRecord;          // of last_record; empty when there is none yet
  bool backfilling = false;  // rows from before rollups not rolled up yet
};

// Each rollup against its rows, recomputed here in SQL: the rows rolled up so far (those folded,
// less those a backfill has not reached) give exactly the stored buckets, and no other. `full`:
// all buckets; else (cheap, for every kill) those from the first row of the kills' runs on.
// True while the old rows' rollups are still to be made.
bool CheckRollups(const std::string& db, int kill, bool full) {
  if (QueryCount(db, "SELECT count(*) FROM sqlite_master WHERE name = 'rollup_state'") == 0) {
    return true;  // killed before the host made them
  }
  const bool backfilling =
      QueryCount(db, "SELECT backfilled_to < backfill_end FROM rollup_state") != 0;
  for (const auto& [table, prefix, suffix] : {std::make_tuple("rollup_minutes", "16", ":00"),
                                              std::make_tuple("rollup_hours", "13", ":00:00")}) {
    const std::string bucket = std::string("substr(time, 1, ") + prefix + ") || '" + suffix + "'";
    const std::string from = full || backfilling
                                 ? "''"
                                 : "(SELECT " + bucket +
                                       " FROM history WHERE id = (SELECT min(id) FROM history "
                                       "WHERE id > 0))";
    std::string recomputed = "SELECT data_id, " + bucket + ", count(*)";
    std::string stored = "SELECT data_id, time, count";
    for (const std::string value : {"temperature", "humidity", "pressure"}) {
      recomputed += ", min(" + value + "), max(" + value + "), sum(CAST(round(" + value +
                    " * 10) AS INTEGER))";
      stored += ", " + value + "_min, " + value + "_max, " + value + "_sum_tenths";
    }
    // The rows after folded_to (the open minute) are folded later, between poll rounds.
    recomputed +=
        " FROM history, rollup_state WHERE (history.id <= backfilled_to OR "
        "history.id > backfill_end) AND history.id <= folded_to AND time >= " +
        from + " GROUP BY 1, 2";
    stored += std::string(" FROM ") + table + " WHERE time >= " + from;
    EXPECT_EQ(QueryCount(db, "SELECT count(*) FROM (" + recomputed + " EXCEPT " + stored + ")"), 0)
        << table << " lacks or differs from its rows after kill " << kill;
    EXPECT_EQ(QueryCount(db, "SELECT count(*) FROM (" + stored + " EXCEPT " + recomputed + ")"), 0)
        << table << " holds more than its rows after kill " << kill;
  }
  return backfilling;
}

// Everything that must hold of the database after a kill; the state it was found in.
StoreState CheckStore(const Bench& bench, int kill) {
  StoreState state;
  if (!std::ifstream(bench.Database()).good()) return state;  // killed before it was made
  const auto integrity = QueryRows(bench.Database(), "PRAGMA integrity_check");
  EXPECT_EQ(integrity, (std::vector<std::vector<std::string>>{{"ok"}})) << "after kill " << kill;
  state.rows = QueryCount(bench.Database(), "SELECT COUNT(*) FROM history");
  EXPECT_EQ(QueryCount(bench.Database(),
                       "SELECT COUNT(*) FROM history WHERE length(record) != 47 OR "
                       "temperature IS NULL OR humidity IS NULL OR pressure IS NULL"),
            0)
      << "a partial history row after kill " << kill;
  const auto last = QueryBlobs(bench.Database(), "SELECT record FROM last_record");
  const auto newest = QueryBlobs(bench.Database(),
                                 "SELECT record FROM history ORDER BY id DESC "
                                 "LIMIT 1");
  // last_record shows the newest history row: the record the next start restores.
  EXPECT_EQ(last, newest) << "last record and newest history row differ after kill " << kill;
  if (!last.empty()) state.lastRecord = last.front();
  state.backfilling = CheckRollups(bench.Database(), kill, kill % 20 == 0 || kill > kKills);
  return state;
}

// A database as a host from before rollups left it: the rows of a short run, and many older
// ones (negative ids, earlier times, varied values), without rollup tables.
void MakeOldDatabase(const Bench& bench, const std::string& config) {
  ASSERT_EQ(bench.Host({"run", "--cycles", "2", config}).exitCode, 0);
  const std::string columns =
      "data_id, time, record, temperature, humidity, pressure, temperature_calibration, "
      "humidity_calibration, pressure_calibration, address, baud_code";
  const std::string sql =
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 60000) "
      "INSERT INTO history (id, " +
      columns +
      ") SELECT -i, data_id, datetime(time, '-' || (3 * i) "
      "|| ' seconds'), record, (i % 301) / 10.0 - 5, humidity + i % 7, pressure, "
      "temperature_calibration, humidity_calibration, pressure_calibration, address, baud_code "
      "FROM n, (SELECT * FROM history ORDER BY id LIMIT 1); DROP TABLE rollup_minutes; "
      "DROP TABLE rollup_hours; DROP TABLE rollup_state;";
  ASSERT_NO_THROW(ExecuteSql(bench.Database(), sql));
}

// The temperature, humidity and pressure a record holds, as the host prints them.
std::vector<double> Values(const Bytes& record) {
  const auto tenths = [&](std::size_t offset, bool withSign) {
    int value = static_cast<int>(RecordWord(record, offset));
    if (withSign && value >= 0x8000) value -= 0x10000;
    return value / 10.0;
  };
  return {tenths(14, true), tenths(12, false), tenths(18, false)};
}

// The host's first "restored" event, if it got that far, must show the record stored last.
// True when it did get that far.
bool CheckRestored(const std::string& output, const Bytes& expected, int kill) {
  for (const Json::Value& event : JsonLines(output)) {
    if (event["event"].asString() == "cycle") {
      ADD_FAILURE() << "a cycle before any restore after kill " << kill << ":\n" << output;
      return false;
    }
    if (event["event"].asString() != "restored") continue;
    const std::vector<double> shown{event["temperature"].asDouble(), event["humidity"].asDouble(),
                                    event["pressure"].asDouble()};
    EXPECT_EQ(shown, Values(expected)) << "restored another record after kill " << kill;
    return true;
  }
  return false;
}

TEST(KilledHost, AtRandomMomentsItLosesAtMostTheCycleInFlightAndRestoresTheLastStoredRecord) {
  Bench bench;
  // A fast temperature swing: consecutive records differ, and the alarm changes often.
  bench.StartSensor({"--verbose", "--temperature", "10:40:4"});
  const std::string config = bench.Config(Mode5Settings(), 50);
  std::mt19937 random(20261208);
  std::uniform_int_distribution<int> percent(0, 99);

  ASSERT_NO_FATAL_FAILURE(MakeOldDatabase(bench, config));
  StoreState before = CheckStore(bench, 0);
  long long answeredBefore = CountOf(SettledLog(bench), kCycleEnd);
  long long lost = 0;
  int restoresSeen = 0;
  int writesCut = 0;
  int backfillsCut = 0;
  for (int kill = 1; kill <= kKills; ++kill) {
    const std::string log = bench.dir.Path("host" + std::to_string(kill) + ".log");
    BackgroundProcess host(bench.HostCommand({"run", "--json", config}), log);
    // A quarter of the kills land in the start-up and the restore, the rest in polling; while
    // the old rows are rolled up, in that.
    const int roll = percent(random);
    const int delayMs = roll < 25 ? roll : 80 + percent(random) * 6;
    if (before.backfilling && SaysSoon(log, "rollups: rolling up")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(roll % 5));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    }
    std::thread writer;
    ProcessResult written;
    if (roll % 3 == 0) {
      // A write through the socket, with the kill landing while the host works on it.
      writer = std::thread([&] {
        written = RunProgram(
            bench.HostCommand({"write", "--", config, "12", "80", std::to_string(kill % 5 - 2)}),
            20s);
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(percent(random) * 2));
    }
    host.Kill();
    if (writer.joinable()) {
      writer.join();
      // The write's client gets an answer or an error, never waits for ever.
      EXPECT_FALSE(written.timedOut) << "kill " << kill;
      writesCut += written.exitCode != 0 ? 1 : 0;
    }

    const long long answered = CountOf(SettledLog(bench), kCycleEnd);
    const StoreState after = CheckStore(bench, kill);
    if (!before.lastRecord.empty() && CheckRestored(ReadFile(log), before.lastRecord, kill)) {
      ++restoresSeen;
    }
    // Every cycle the sensor finished is stored, except at most the one in flight.
    const long long lostNow = (answered - answeredBefore) - (after.rows - before.rows);
    EXPECT_GE(lostNow, 0) << "more rows stored than cycles answered, kill " << kill;
    EXPECT_LE(lostNow, 1) << "more than the cycle in flight lost, kill " << kill;
    lost += lostNow;
    backfillsCut += after.backfilling ? 1 : 0;
    before = after;
    answeredBefore = answered;
    if (HasFailure()) return;
  }

  // A last, orderly run starts from the last stored record and polls on.
  const ProcessResult last = bench.Host({"run", "--json", "--cycles", "3", config});
  EXPECT_EQ(last.exitCode, 0) << last.out << last.err;
  EXPECT_TRUE(CheckRestored(last.out, before.lastRecord, kKills + 1)) << last.out;
  const StoreState final = CheckStore(bench, kKills + 1);
  EXPECT_EQ(final.rows, before.rows + 3);
  if (final.backfilling) {
    // Each run resumes rolling up the old rows; in a slow tree every kill may have come while it
    // did, and three cycles are too few to finish: a host polls on until it is done.
    BackgroundProcess host(bench.HostCommand({"run", "--json", config}),
                           bench.dir.Path("final.log"));
    // Rolling up takes the time the polls leave, which a loaded machine makes long: the wait
    // fails only when the rollups stop moving on.
    const auto rolledUpTo = [&]() -> std::string {
      try {
        const auto rows = QueryRows(bench.Database(),
                                    "SELECT backfilled_to >= backfill_end, backfilled_to "
                                    "FROM rollup_state");
        return rows.empty() ? "" : rows[0][0] == "1" ? "done" : rows[0][1];
      } catch (const std::exception&) {
        return "";  // the host holds the file a moment
      }
    };
    for (std::string reached = rolledUpTo(); reached != "done";) {
      const bool moved = WaitUntil("the rollups past row " + reached, 60s, [&] {
        const std::string now = rolledUpTo();
        if (now.empty() || now == reached) return false;
        reached = now;
        return true;
      });
      EXPECT_TRUE(moved);
      if (!moved) break;
    }
    EXPECT_EQ(host.Stop(), 0);
    EXPECT_FALSE(CheckStore(bench, kKills + 2).backfilling);
  }
  EXPECT_GT(backfillsCut, 0) << "no kill came while the rollups were being built";

  EXPECT_GT(before.rows, kKills) << "the kills came too early to test much";
  EXPECT_GT(restoresSeen, kKills / 2);
  std::printf(
      "%d kills: %lld rows stored, %lld cycles lost in flight, %d restores checked, %d writes "
      "cut off, %d kills while rolling up the old rows\n",
      kKills, before.rows, lost, restoresSeen, writesCut, backfillsCut);
}

}  // namespace
