// SPDX-License-Identifier: Apache-2.0
// What survives the host process: the last record loaded back at start-up, a clean stop on a
// signal, and the stored history read back.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "Bench.h"
#include "Broker.h"
#include "Subscriber.h"
#include "Text.h"
#include "Wait.h"

namespace {

using namespace std::chrono_literals;

// Waits (bounded) until a background host has reported its first poll cycle.
void WaitForFirstCycle(const std::string& hostOutput) {
  ASSERT_TRUE(WaitForText(hostOutput, "cycle ", 10s));
}

TEST(Restart, TheLastStoredRecordIsLoadedBackThroughTheCache) {
  Bench bench;
  const std::string config = bench.Config(Mode5Settings(), 100);
  bench.StartSensor({"--static", "--temperature", "23.4", "--set", "i:80=17"});
  ASSERT_EQ(bench.Host({"run", "--cycles", "2", config}).exitCode, 0);
  const auto stored = bench.HistoryRecords();
  ASSERT_EQ(stored.size(), 2u);
  bench.StopSensor();

  // The sensor is gone: whatever the device shows now comes from the cache, labelled with the
  // time it was stored, and the command fails.
  bench.StartSensor({"--static", "--drop", "100"});
  const auto status = bench.Host({"status", config});
  ASSERT_EQ(status.exitCode, 6) << status.err;
  const auto storedAt = QueryRows(bench.Database(), "SELECT time FROM last_record");
  ASSERT_EQ(storedAt.size(), 1u);
  EXPECT_NE(status.out.find("status   12    no answer from the sensor: read holding registers 0/4: "
                            "Connection timed out"),
            std::string::npos)
      << status.out;
  EXPECT_NE(status.out.find("last stored record, stored " + storedAt[0][0] + ": {"),
            std::string::npos)
      << status.out;
  EXPECT_NE(status.out.find("restored 12    last stored record: temperature 23.4"),
            std::string::npos)
      << status.out;
  EXPECT_NE(status.out.find("\"温度\":23.399999618530273"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("\"温度校准值\":1.7000000476837158"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("read holding registers 0/4: Connection timed out"), std::string::npos);
  // Loading back is not a new measurement: the history is as it was.
  EXPECT_EQ(bench.HistoryRecords(), stored);
  // The plug-in saw the record through its cache entry.
  EXPECT_NE(ReadFile(bench.dir.Path("plugin.log")).find("rvSize is"), std::string::npos);
}

TEST(Restart, AFreshDatabaseRestoresNothingAndRaisedAlarmsAreNotRaisedTwice) {
  Bench bench;
  const std::string config = bench.Config(Mode5Settings(30, 28), 100);
  bench.StartSensor({"--static", "--temperature", "35"});
  const auto first = bench.Host({"run", "--cycles", "2", config});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  EXPECT_EQ(first.out.find("restored"), std::string::npos);
  EXPECT_NE(first.out.find("alarm raised"), std::string::npos) << first.out;

  // A second run knows the alarm is up: the same state is no new event.
  const auto second = bench.Host({"run", "--cycles", "2", config});
  ASSERT_EQ(second.exitCode, 0) << second.err;
  EXPECT_EQ(second.out.find("alarm raised"), std::string::npos) << second.out;
  EXPECT_NE(second.out.find("alarms 1"), std::string::npos) << second.out;
  EXPECT_EQ(QueryCount(bench.Database(), "SELECT COUNT(*) FROM alarm_events"), 1);
}

TEST(Signals, SigtermStopsTheHostCleanlyWithTheDatabaseClosed) {
  Bench bench;
  bench.StartSensor({"--static"});
  const std::string config = bench.Config(Mode5Settings(), 100);
  BackgroundProcess host(bench.HostCommand({"run", config}), bench.dir.Path("host.out"));
  ASSERT_NO_FATAL_FAILURE(WaitForFirstCycle(bench.dir.Path("host.out")));
  EXPECT_EQ(host.Stop(5000ms), 0);
  const std::string out = ReadFile(bench.dir.Path("host.out"));
  EXPECT_NE(out.find("stopped by signal"), std::string::npos) << out;
  EXPECT_NE(out.find("summary  12"), std::string::npos) << out;
  // Closing the last connection folds the write-ahead log back into the database.
  EXPECT_FALSE(std::filesystem::exists(bench.Database() + "-wal"));
  EXPECT_EQ(QueryRows(bench.Database(), "PRAGMA integrity_check"),
            (std::vector<std::vector<std::string>>{{"ok"}}));
  EXPECT_GE(bench.HistoryRecords().size(), 1u);
}

// A stray SIGUSR1, SIGUSR2 or SIGALRM (their default ends the process without a word) stops the
// host as SIGTERM does: its summary, the socket removed.
TEST(Signals, UserAndAlarmSignalsStopTheHostWithItsSummary) {
  for (const int signal : {SIGUSR1, SIGUSR2, SIGALRM}) {
    Bench bench;
    bench.StartSensor({"--static"});
    const std::string config = bench.Config(Mode5Settings(), 100);
    BackgroundProcess host(bench.HostCommand({"run", config}), bench.dir.Path("host.out"));
    ASSERT_NO_FATAL_FAILURE(WaitForFirstCycle(bench.dir.Path("host.out")));
    kill(host.Pid(), signal);
    EXPECT_EQ(WaitForExit(host.Pid(), 10000ms), 0) << "waited 10 s for the host to stop";
    const std::string out = ReadFile(bench.dir.Path("host.out"));
    EXPECT_NE(out.find("summary  12"), std::string::npos) << signal << out;
    EXPECT_FALSE(std::filesystem::exists(bench.dir.Path("host.sock"))) << signal;
  }
}

// Without a terminal (a service), SIGHUP reads the configuration again: a file that does not read
// changes nothing; a device's new limit raises its alarm and the MQTT bridge publishes under its
// new prefix while the line polls on; a change that takes a restart is named.
TEST(Signals, HangupWithoutATerminalReloadsRulesAndSinksAndTheLinePollsOn) {
  Bench bench;
  Broker broker(bench.dir);
  Subscriber watcher(broker.Port());
  bench.StartSensor({"--static", "--temperature", "25"});
  const auto configure = [&](double limit, int pollMs, const std::string& prefix) {
    const std::string text = ReadFile(bench.Config(Mode5Settings(limit, limit - 1), pollMs));
    bench.dir.Write("host.json", R"({"mqtt": {"host": "127.0.0.1", "port": )" +
                                     std::to_string(broker.Port()) + R"(, "prefix": ")" + prefix +
                                     R"("}, )" + text.substr(1));
    return bench.dir.Path("host.json");
  };
  const std::string config = configure(30, 100, "before");
  std::vector<std::string> command = bench.HostCommand({"run", config});
  command.insert(command.begin(), "/usr/bin/setsid");  // no controlling terminal
  const std::string out = bench.dir.Path("host.out");
  BackgroundProcess host(command, out);
  ASSERT_TRUE(watcher.WaitFor("before/12/state", 15s)) << ReadFile(out);

  bench.dir.Write("host.json", "{\"lines\": [");
  kill(host.Pid(), SIGHUP);
  ASSERT_TRUE(WaitForText(out, "nothing changed, the host goes on as it was", 10s))
      << ReadFile(out);

  configure(20, 200, "after");
  kill(host.Pid(), SIGHUP);
  ASSERT_TRUE(WaitForText(out, "applied device 12's settings, mqtt", 10s)) << ReadFile(out);
  EXPECT_TRUE(WaitForText(out, "taking effect only at a restart: lines[0].pollIntervalMs", 1s))
      << ReadFile(out);
  // Only an alarm raised at the new limit is published under the new prefix.
  EXPECT_TRUE(watcher.WaitFor("after/12/alarm/T01001", 10s)) << ReadFile(out);
  const auto rows = [&] { return QueryCount(bench.Database(), "SELECT COUNT(*) FROM history"); };
  const long long before = rows();
  EXPECT_TRUE(WaitUntil("5 more cycles stored", 10s, [&] { return rows() >= before + 5; }));
  EXPECT_EQ(host.Stop(5000ms), 0);
  // The first bridge's counts when it stopped, the second's at the end.
  EXPECT_EQ(CountOf(ReadFile(out), "mqtt     12    published"), 2) << ReadFile(out);
}

TEST(Signals, SigtermEndsALongWaitForTheNextPollAtOnce) {
  Bench bench;
  bench.StartSensor({"--static"});
  // A minute between polls: after the first cycle the host sleeps in one long wait.
  const std::string config = bench.Config(Mode5Settings(), 60000);
  BackgroundProcess host(bench.HostCommand({"run", config}), bench.dir.Path("host.out"));
  ASSERT_NO_FATAL_FAILURE(WaitForFirstCycle(bench.dir.Path("host.out")));
  std::this_thread::sleep_for(200ms);
  const auto stopped = std::chrono::steady_clock::now();
  EXPECT_EQ(host.Stop(5000ms), 0);
  // Well within the minute the host would otherwise sleep.
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, Scaled(2s));
  const std::string out = ReadFile(bench.dir.Path("host.out"));
  EXPECT_NE(out.find("stopped by signal"), std::string::npos) << out;
  EXPECT_NE(out.find("summary  12    cycles 1  errors 0"), std::string::npos) << out;
}

TEST(History, ListsAndExportsTheStoredRecords) {
  Bench bench;
  bench.StartSensor({"--static", "--temperature", "23.4"});
  const std::string config = bench.Config(Mode5Settings(), 100);
  ASSERT_EQ(bench.Host({"run", "--cycles", "3", config}).exitCode, 0);

  const auto csv = bench.Host({"history", config, "--csv", bench.dir.Path("out.csv")});
  ASSERT_EQ(csv.exitCode, 0) << csv.err;
  std::ifstream file(bench.dir.Path("out.csv"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("id,data_id,time,temperature,humidity,pressure,", 0), 0u);
  EXPECT_NE(lines[3].find(",12,"), std::string::npos);
  EXPECT_NE(lines[3].find(",23.4,45.0,1013.2,0.0,0.0,0.0,1,2,"), std::string::npos) << lines[3];
  // The raw record closes each row, 47 bytes in hexadecimal.
  EXPECT_EQ(lines[3].substr(lines[3].rfind(',') + 1).size(), 94u);

  const auto list = bench.Host({"history", "--limit", "2"});  // the database alone
  ASSERT_EQ(list.exitCode, 0) << list.err;
  EXPECT_NE(list.out.find("2 record(s)"), std::string::npos) << list.out;
  const auto other = bench.Host({"history", "--data-id", "99"});
  EXPECT_NE(other.out.find("0 record(s)"), std::string::npos) << other.out;
}

// A reversed range is refused with a hint, not answered with nothing; history and a plot of an
// empty file say that it holds no records.
TEST(History, AReversedRangeAndAnEmptyFileSayWhatIsWrong) {
  Bench bench;
  const auto reversed = bench.Host({"history", "--since", "1h", "--until", "2h"});
  EXPECT_EQ(reversed.exitCode, 2);
  EXPECT_NE(reversed.err.find("swap them"), std::string::npos) << reversed.err;
  std::ofstream(bench.Database()).close();
  const auto history = bench.Host({"history"});
  EXPECT_EQ(history.exitCode, 5);
  EXPECT_EQ(history.err, "devhost: database " + bench.Database() +
                             " holds no history: an empty file, or not a host's database\n");
  const auto plot = bench.Host({"plot", "--output", bench.dir.Path("empty.svg")});
  EXPECT_EQ(plot.exitCode, 2);
  EXPECT_NE(plot.err.find("holds no device's records"), std::string::npos) << plot.err;
}

}  // namespace
