// SPDX-License-Identifier: Apache-2.0
// Poll cycles over a pseudo-terminal pair: what the simulator serves is what lands in the store.
#include <gtest/gtest.h>
#include <json/reader.h>

#include <filesystem>
#include <sstream>

#include "Bench.h"
#include "Text.h"

namespace {

using namespace std::chrono_literals;

// Holding and input copies made different, so that a copy landing in the wrong place shows.
const std::vector<std::string> kDistinctCopies = {
    "--static", "--set",   "h:0=101",  "--set",   "h:1=102", "--set",   "h:2=103",
    "--set",    "h:3=104", "--set",    "i:0=201", "--set",   "i:1=202", "--set",
    "i:2=203",  "--set",   "i:3=204",  "--set",   "h:80=11", "--set",   "h:81=12",
    "--set",    "h:82=13", "--set",    "i:80=21", "--set",   "i:81=22", "--set",
    "i:82=23",  "--set",   "i:2000=5", "--set",   "i:2001=3"};

// Record words 2..19 (bytes 4-39) in the order the record keeps the six blocks.
const std::vector<unsigned> kExpectedWords = {101, 102, 103, 104, 201, 202, 203, 204, 11,
                                              12,  13,  21,  22,  23,  1,   2,   5,   3};

TEST(Polling, CompletedCyclesStoreExactlyTheServedRegistersInRecordOrder) {
  Bench bench;
  bench.StartSensor(kDistinctCopies);
  const auto run = bench.Host({"run", "--cycles", "3", bench.Config(Mode5Settings())});
  ASSERT_EQ(run.exitCode, 0) << run.err;

  const auto records = bench.HistoryRecords();
  ASSERT_EQ(records.size(), 3u) << run.out;
  for (const Bytes& record : records) {
    ASSERT_EQ(record.size(), 47u);
    EXPECT_EQ(RecordWord(record, 0), Bench::kDataId);
    EXPECT_EQ(RecordWord(record, 2), 0u);
    for (std::size_t i = 0; i < kExpectedWords.size(); ++i) {
      EXPECT_EQ(RecordWord(record, 4 + 2 * i), kExpectedWords[i]) << "record offset " << 4 + 2 * i;
    }
    EXPECT_GE(RecordWord(record, 40), 2020u);  // the host's local time stamp
    EXPECT_GE(record[42], 1);
    EXPECT_LE(record[42], 12);
    EXPECT_LE(record[44], 23);
  }
  // The decoded columns come from the input copies.
  const auto values = QueryRows(
      bench.Database(),
      "SELECT temperature, humidity, pressure, temperature_calibration, address, baud_code "
      "FROM history ORDER BY id DESC LIMIT 1");
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0], (std::vector<std::string>{"20.2", "20.1", "20.4", "2.1", "5", "3"}));
  // The last record handed over with SendSP is kept per device, under its data code.
  EXPECT_EQ(QueryBlobs(bench.Database(), "SELECT record FROM last_record WHERE data_id = 12"),
            std::vector<Bytes>{records.back()});
  EXPECT_EQ(QueryCount(bench.Database(), "SELECT code FROM last_record"), 5156);
  EXPECT_NE(run.out.find("summary  12    cycles 3  errors 0"), std::string::npos) << run.out;
}

// The device evaluates its rules once a second: a faster line is told so once at start.
TEST(Polling, ALinePolledFasterThanOnceASecondIsToldOnceThatRulesAreEvaluatedEachSecond) {
  Bench bench;
  bench.StartSensor({"--static"});
  const std::string notice = "but the devices evaluate their alarm rules once a second";
  const auto fast = bench.Host({"run", "--cycles", "3", bench.Config(Mode5Settings(), 200)});
  ASSERT_EQ(fast.exitCode, 0) << fast.err;
  EXPECT_EQ(CountOf(fast.out, "polled every 200 ms, " + notice), 1) << fast.out;
  const auto slow = bench.Host({"run", "--cycles", "1", bench.Config(Mode5Settings(), 1000)});
  ASSERT_EQ(slow.exitCode, 0) << slow.err;
  EXPECT_EQ(CountOf(slow.out, notice), 0) << slow.out;
}

// The plug-in's line of every poll goes to a file beside the database, not to the journal;
// `--plugin-log -` still asks for standard error.
TEST(Polling, ThePluginsLinesGoBesideTheDatabaseByDefault) {
  Bench bench;
  bench.StartSensor({"--static"});
  const std::string config = bench.Config(Mode5Settings());
  const auto run =
      RunProgram({DEVHOST_PATH, "run", "--cycles", "2", config, "--db", bench.Database(),
                  "--plugin-dir", PLUGIN_DIR, "--log-level", "detail"},
                 std::chrono::seconds(30));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.err.find("rvSize"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("rvSize"), std::string::npos) << run.out;
  EXPECT_NE(ReadFile(bench.Database() + ".plugin.log").find("rvSize is"), std::string::npos);
  const auto toStderr =
      RunProgram({DEVHOST_PATH, "run", "--cycles", "1", config, "--db", bench.Database(),
                  "--plugin-dir", PLUGIN_DIR, "--plugin-log", "-"},
                 std::chrono::seconds(30));
  EXPECT_NE(toStderr.err.find("rvSize is"), std::string::npos) << toStderr.err;
}

TEST(Polling, DriftingTemperatureRaisesAndClearsTheAlarmOnce) {
  Bench bench;
  // 24 -> 33 -> 24 every 6 s; the limit 30 is crossed up and then below the recover value 28.
  bench.StartSensor({"--temperature", "24:33:6"});
  const auto run =
      bench.Host({"run", "--cycles", "32", bench.Config(Mode5Settings(30, 28), 250)}, 30s);
  ASSERT_EQ(run.exitCode, 0) << run.err;

  const auto events = QueryRows(bench.Database(),
                                "SELECT alarm_id, signal_name, level, active, alarm_text "
                                "FROM alarm_events ORDER BY id");
  ASSERT_GE(events.size(), 2u) << run.out;
  EXPECT_EQ(events[0][0], "T01001");
  EXPECT_EQ(events[0][1], "温度");
  EXPECT_EQ(events[0][2], "2");
  EXPECT_EQ(events[0][3], "1");
  EXPECT_EQ(events[0][4].rfind("当前值", 0), 0u) << events[0][4];
  EXPECT_NE(events[0][4].find("高于阈值:30"), std::string::npos) << events[0][4];
  EXPECT_EQ(events[1][3], "0");
  EXPECT_EQ(events[1][4], "");
  // Transitions only: raised and cleared alternate, never twice the same.
  for (std::size_t i = 1; i < events.size(); ++i) EXPECT_NE(events[i][3], events[i - 1][3]);
  EXPECT_NE(run.out.find("alarm raised   12    T01001 (温度, level 2): 当前值"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("alarm cleared  12    T01001 (温度, level 2): value "), std::string::npos)
      << run.out;
}

TEST(Polling, JsonModePrintsOneParseableObjectPerLine) {
  Bench bench;
  bench.StartSensor({"--static", "--temperature", "23.4"});
  const auto run = bench.Host({"--json", "run", "--cycles", "2", bench.Config(Mode5Settings())});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::istringstream lines(run.out);
  std::string line;
  int cycles = 0;
  int objects = 0;
  while (std::getline(lines, line)) {
    Json::Value event;
    std::istringstream text(line);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), text, &event, nullptr)) << line;
    ASSERT_TRUE(event.isObject() && event["event"].isString()) << line;
    ++objects;
    if (event["event"].asString() != "cycle") continue;
    ++cycles;
    EXPECT_EQ(event["data_id"].asUInt(), Bench::kDataId);
    EXPECT_DOUBLE_EQ(event["temperature"].asDouble(), 23.4);
    EXPECT_EQ(event["alarms_active"].asInt(), 0);
  }
  EXPECT_EQ(cycles, 2);
  EXPECT_GE(objects, 4);  // the line notice, two cycles, the summary
}

TEST(Polling, RuleFileModeStoresThresholdValuesAndReportsOnlyOnChange) {
  Bench bench;
  bench.StartSensor({"--static", "--temperature", "23.4", "--humidity", "50"});
  std::filesystem::create_directories(bench.dir.Path("ini"));
  bench.dir.Write("ini/12.ini",
                  "[AI]\n温度 = 010010010,Temperature\n湿度 = 010020010,Humidity\n"
                  "[ALARM]\n温度 = 010010011,high\n");
  bench.dir.Write("mode1.json", R"({"workDir": ".", "lines": [{"device": ")" +
                                    bench.dir.Path("tty") +
                                    R"(", "pollIntervalMs": 1100, "responseTimeoutMs": 1000,
      "devices": [{"plugin": "do3008ra.so", "dataId": 12, "settings": {"appSetting": {"b_mode": 1}},
      "reports": {"010010010": {"absThreshold": 0.5}}}]}]})");
  const auto run = bench.Host({"run", "--cycles", "2", bench.dir.Path("mode1.json")});
  ASSERT_EQ(run.exitCode, 0) << run.err;

  // One threshold value per rule-file signal and cycle, under the derived alarm identifier.
  const auto values = QueryRows(bench.Database(),
                                "SELECT alarm_id, name, value, kind FROM threshold_values "
                                "WHERE name = 'Temperature' ORDER BY id");
  ASSERT_EQ(values.size(), 2u) << run.out;
  EXPECT_EQ(values[0], (std::vector<std::string>{"010610011", "Temperature", values[0][2], "1"}));
  EXPECT_NEAR(std::stod(values[0][2]), 23.4, 1e-5);
  // The value moved 23.4 from the last report (0) once; the second cycle brings no change.
  EXPECT_EQ(QueryCount(bench.Database(),
                       "SELECT COUNT(*) FROM analog_reports WHERE signal_id = '010010010'"),
            1);
  EXPECT_NE(run.out.find("report   12    010010010 23.4"), std::string::npos) << run.out;
}

// As a service runs it (standard output not a terminal, no --log-level): a start line that says
// what runs, periodic summaries, warnings, and no line per cycle; a mode-1 device with no rule
// file is warned about instead of running silently without rules.
TEST(Polling, AJournalGetsAStartLineSummariesAndWarningsButNoCycleLines) {
  Bench bench;
  bench.StartSensor({"--static"});
  const std::string config = bench.Config(R"({"appSetting": {"b_mode": 1}})");
  const auto run = RunProgram({DEVHOST_PATH, "run", "--cycles", "25", "--summary-every", "1",
                               config, "--db", bench.Database(), "--plugin-dir", PLUGIN_DIR},
                              std::chrono::seconds(60));
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_TRUE(Contains(run.out, "started: configuration " + config + ", database " +
                                    bench.Database() + " (SQLite 3."))
      << run.out;
  EXPECT_TRUE(Contains(run.out, "do3008ra.so (do3008ra version ")) << run.out;
  EXPECT_FALSE(Contains(run.out, "cycle    12")) << run.out;
  // 25 rounds every 100 ms outlast a second.
  EXPECT_TRUE(Contains(run.out, "in the last 1 s: ")) << run.out;
  EXPECT_TRUE(Contains(run.out, "summary  12    cycles 25  errors 0")) << run.out;
  EXPECT_TRUE(Contains(run.out,
                       "device 12: warning: mode 1 takes its rules from a rule file, "
                       "and there is none: looked for ini/12.ini"))
      << run.out;
  // Asked for, the detail is there.
  const auto detail = RunProgram({DEVHOST_PATH, "run", "--cycles", "1", "--log-level", "detail",
                                  config, "--db", bench.Database(), "--plugin-dir", PLUGIN_DIR},
                                 std::chrono::seconds(30));
  EXPECT_TRUE(Contains(detail.out, "cycle    12")) << detail.out;
}

}  // namespace
