// SPDX-License-Identifier: Apache-2.0
// History over time ranges, retention and the plot, on real SQLite files and a real gnuplot.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json/reader.h>
#include <algorithm>
#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "Bench.h"
#include "Text.h"
#include "events/TimeRange.h"
#include "plot/PlotData.h"
#include "store/CycleWriter.h"
#include "store/StoreReader.h"

namespace {

void Execute(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* message = nullptr;
  const int result = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  const std::string text = message ? message : "";
  sqlite3_free(message);
  sqlite3_close(db);
  ASSERT_EQ(result, SQLITE_OK) << text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

AlarmEvent Alarm(const std::string& time, const std::string& id, bool active) {
  AlarmEvent event;
  event.dataId = Bench::kDataId;
  event.time = time;
  event.alarmId = id;
  event.signalName = "温度";
  event.level = 2;
  event.active = active;
  return event;
}

// Records at 2025-06-01 10:00:00 to 10:00:04, one an hour ago and one three hours ago, and alarm
// changes.
void FillStore(const std::string& path, std::time_t now) {
  StoreConnection connection(path, true);
  CycleWriter store(connection);
  const std::vector<unsigned char> record(47, 0);
  store.Begin();
  for (int second = 0; second < 5; ++second) {
    store.AddHistory(Bench::kDataId, "2025-06-01 10:00:0" + std::to_string(second), record.data(),
                     47);
  }
  store.AddHistory(Bench::kDataId, StoreTimeText(now - 3 * 3600), record.data(), 47);
  store.AddHistory(Bench::kDataId, StoreTimeText(now - 3600), record.data(), 47);
  store.AddAlarmEvent(Alarm("2025-06-01 10:00:01", "T01001", true));
  store.AddAlarmEvent(Alarm("2025-06-01 10:00:03", "T01001", false));
  store.Commit();
}

// --since is inclusive, --until exclusive; relative bounds count back from now; every time in
// CSV and JSON is ISO 8601 with its offset (the tests run in UTC).
TEST(HistoryRanges, BoundsRelativeTimesEmptyRangesAndIsoTimes) {
  Bench bench;
  FillStore(bench.Database(), std::time(nullptr));
  const auto csv = bench.Host({"history", "--since", "2025-06-01T10:00:01", "--until",
                               "2025-06-01 10:00:03", "--limit", "0", "--csv", "-"});
  ASSERT_EQ(csv.exitCode, 0) << csv.err;
  auto lines = Lines(csv.out);
  ASSERT_EQ(lines.size(), 3u) << csv.out;
  EXPECT_NE(lines[0].find(",time,"), std::string::npos);
  EXPECT_NE(lines[0].find(",record_stamp,"), std::string::npos);
  std::set<std::string> csvColumns;
  std::stringstream header(lines[0]);
  for (std::string column; std::getline(header, column, ',');) csvColumns.insert(column);
  EXPECT_EQ(lines[1].rfind("2,12,2025-06-01T10:00:01+00:00,", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2].rfind("3,12,2025-06-01T10:00:02+00:00,", 0), 0u) << lines[2];

  // The newest N of a range, still oldest first.
  lines = Lines(
      bench.Host({"history", "--until", "2025-06-01T10:00:04", "--limit", "2", "--csv", "-"}).out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1].rfind("3,", 0), 0u);
  EXPECT_EQ(lines[2].rfind("4,", 0), 0u);

  const auto recent = bench.Host({"history", "--since", "2h", "--json"});
  ASSERT_EQ(recent.exitCode, 0) << recent.err;
  const Json::Value document = JsonValue(recent.out);
  ASSERT_EQ(document["records"].size(), 1u) << recent.out;
  EXPECT_EQ(document["records"][0]["id"].asInt(), 7);
  EXPECT_EQ(document["records"][0]["time"].asString().find('T'), 10u);
  EXPECT_EQ(document["records"][0]["record_stamp"].asString(), "0000-00-00T00:00:00");
  // The same record as the CSV's: every column, the calibrations, address and baud code too.
  const auto members = document["records"][0].getMemberNames();
  EXPECT_EQ(std::set<std::string>(members.begin(), members.end()), csvColumns);

  const auto empty =
      bench.Host({"history", "--since", "2025-06-01T10:00:02", "--until", "2025-06-01T10:00:02"});
  EXPECT_NE(empty.out.find("0 record(s)"), std::string::npos) << empty.out;

  const auto alarms =
      bench.Host({"history", "--alarms", "--since", "2025-06-01T10:00:02", "--csv", "-"});
  lines = Lines(alarms.out);
  ASSERT_EQ(lines.size(), 2u) << alarms.out;
  EXPECT_EQ(lines[1].rfind("2,12,2025-06-01T10:00:03+00:00,T01001,温度,2,0,", 0), 0u) << lines[1];

  const auto bad = bench.Host({"history", "--since", "yesterday"});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_NE(bad.err.find("--since"), std::string::npos) << bad.err;
}

// A real host's database, made old: pruning takes the old rows and keeps the newest, the last
// record and the alarm that is still up; the next host restores both.
TEST(Retention, PruneKeepsNewestRowsLastRecordAndActiveAlarms) {
  Bench bench;
  bench.StartSensor({"--static", "--temperature", "31"});
  const std::string config = bench.Config(Mode5Settings(30, 28), 100);
  ASSERT_EQ(bench.Host({"run", "--cycles", "4", config}).exitCode, 0);
  const long long stored = QueryCount(bench.Database(), "SELECT COUNT(*) FROM history");
  ASSERT_GE(stored, 4);
  // All but the newest record, and the alarm's raise, a year back.
  ASSERT_NO_FATAL_FAILURE(Execute(
      bench.Database(),
      "UPDATE history SET time = '2025-01-01 00:00:00' WHERE id < (SELECT MAX(id) FROM history);"
      "UPDATE alarm_events SET time = '2025-01-01 00:00:00';"
      "UPDATE device_records SET time = '2025-01-01 00:00:00';"));

  // The machine's clock is right whatever the kernel says of it.
  const auto pruned = bench.Host({"prune", config, "--days", "30", "--trust-clock"});
  ASSERT_EQ(pruned.exitCode, 0) << pruned.err;
  EXPECT_NE(pruned.out.find("history " + std::to_string(stored - 1)), std::string::npos)
      << pruned.out;
  EXPECT_EQ(QueryCount(bench.Database(), "SELECT COUNT(*) FROM history"), 1);
  EXPECT_EQ(QueryCount(bench.Database(), "SELECT COUNT(*) FROM last_record"), 1);
  EXPECT_EQ(QueryCount(bench.Database(), "SELECT COUNT(*) FROM alarm_events WHERE active = 1"), 1);

  // The next host restores the record and knows the alarm is up (it is not raised again); with
  // retentionDays it prunes by itself after its rounds, here the record made old once more.
  ASSERT_NO_FATAL_FAILURE(
      Execute(bench.Database(), "UPDATE history SET time = '2025-01-01 00:00:00';"));
  std::string text = ReadFile(config);
  text.insert(text.find('{') + 1, R"("retentionDays": 30, "trustUnsynchronisedClock": true, )");
  const std::string retaining = bench.dir.Path("retaining.json");
  std::ofstream(retaining) << text;
  const auto restarted = bench.Host({"run", "--cycles", "3", retaining});
  EXPECT_NE(restarted.out.find("restored 12"), std::string::npos) << restarted.out;
  EXPECT_EQ(restarted.out.find("alarm raised"), std::string::npos) << restarted.out;
  EXPECT_NE(restarted.out.find("retention: pruned rows before"), std::string::npos)
      << restarted.out;
  EXPECT_EQ(QueryCount(bench.Database(), "SELECT COUNT(*) FROM history"), 3);
  const auto alarms = bench.Host({"alarms", config});
  EXPECT_NE(alarms.out.find("T01001"), std::string::npos) << alarms.out;
}

// A host started with its clock a month behind and stepped right after three seconds, as NTP
// does at boot (libfaketime; the steady clock is left alone, as a step leaves it): the rows it
// stored before the step survive the next host's retention and a prune; prune deletes nothing
// on a clock three days ahead, and --days 0 is refused as retentionDays 0 is. Rows a run with
// the clock 30 days ahead stamped are told and kept by prune, which prunes the rest, until
// prune --future removes them.
TEST(Retention, RowsStampedBeforeAClockStepSurviveTheNextHostAndPrune) {
  const std::string faketime = "/usr/bin/faketime";
  if (access(faketime.c_str(), X_OK) != 0) {
    GTEST_SKIP() << "faketime is not installed (scripts/install-deps.sh installs it)";
  }
  Bench bench;
  bench.StartSensor({"--static"});
  std::string text = ReadFile(bench.Config("{}", 300));
  text.insert(text.find('{') + 1, R"("retentionDays": 7, "trustUnsynchronisedClock": true, )");
  const std::string config = bench.dir.Path("retaining.json");
  std::ofstream(config) << text;
  const auto underFaketime = [&](const std::vector<std::string>& args, const std::string& offset,
                                 const std::string& stopAfter) {
    // libfaketime is preloaded ahead of the sanitizer's runtime, which an instrumented host
    // would otherwise refuse.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::vector<std::string> command{
        "/usr/bin/env", "FAKETIME_DONT_FAKE_MONOTONIC=1",
        "ASAN_OPTIONS=" + std::string(asan ? asan : "") + ":verify_asan_link_order=0"};
    if (!stopAfter.empty()) command.push_back("FAKETIME_STOP_AFTER_SECONDS=" + stopAfter);
    for (const std::string& part : {faketime, std::string("-f"), offset}) command.push_back(part);
    for (const std::string& part : bench.HostCommand(args)) command.push_back(part);
    return RunProgram(command, std::chrono::seconds(60));
  };
  const auto stepped = underFaketime({"run", "--cycles", "20", config}, "-30d", "3");
  ASSERT_EQ(stepped.exitCode, 0) << stepped.err;
  EXPECT_TRUE(Contains(stepped.out, "clock: the clock moved forward")) << stepped.out;
  const std::string monthOld =
      "SELECT COUNT(*) FROM history WHERE time < datetime('now', 'localtime', '-20 days')";
  const long long behind = QueryCount(bench.Database(), monthOld);
  ASSERT_GT(behind, 0) << stepped.out;

  const auto next = bench.Host({"run", "--cycles", "3", config});
  ASSERT_EQ(next.exitCode, 0) << next.err;
  EXPECT_FALSE(Contains(next.out, "retention: pruned")) << next.out;
  EXPECT_EQ(QueryCount(bench.Database(), monthOld), behind);
  const auto pruned = bench.Host({"prune", config, "--trust-clock"});
  ASSERT_EQ(pruned.exitCode, 0) << pruned.err;
  EXPECT_EQ(QueryCount(bench.Database(), monthOld), behind) << pruned.out;

  const long long all = QueryCount(bench.Database(), "SELECT COUNT(*) FROM history");
  const auto ahead = underFaketime({"prune", config, "--days", "1", "--trust-clock"}, "+3d", "");
  EXPECT_EQ(ahead.exitCode, 1);
  EXPECT_TRUE(Contains(ahead.err, "would remove the newest history row")) << ahead.err;
  const auto zero = bench.Host({"prune", config, "--days", "0", "--trust-clock"});
  EXPECT_EQ(zero.exitCode, 2);
  EXPECT_TRUE(Contains(zero.err, "--days")) << zero.err;
  EXPECT_EQ(QueryCount(bench.Database(), "SELECT COUNT(*) FROM history"), all);
  // Without retention: a host whose clock is ahead from its start prunes by that clock.
  ASSERT_EQ(underFaketime({"run", "--cycles", "3", bench.Config("{}", 300)}, "+30d", "").exitCode,
            0);
  const std::string later = "SELECT COUNT(*) FROM history WHERE time > datetime('now')";
  const auto kept = bench.Host({"prune", config, "--trust-clock"});
  EXPECT_EQ(kept.exitCode, 0) << kept.err;
  EXPECT_TRUE(Contains(kept.out, "3 history row(s) are stamped later than now")) << kept.out;
  EXPECT_EQ(QueryCount(bench.Database(), later), 3);
  const auto removed = bench.Host({"prune", config, "--future", "--trust-clock"});
  EXPECT_TRUE(Contains(removed.out, ": 3 history row(s) from ")) << removed.out;
  EXPECT_EQ(QueryCount(bench.Database(), later), 0);
  EXPECT_EQ(QueryCount(bench.Database(), "SELECT COUNT(*) FROM history"), all);
}

// A user who may read the database but write neither it nor its folder reads its history and
// plots it: the readers open it read-only.
TEST(History, AReaderWithoutWriteAccessReadsTheDatabase) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: reads as another user";
  Bench bench;
  bench.StartSensor({"--static"});
  ASSERT_EQ(bench.Host({"run", "--cycles", "3", bench.Config("{}")}).exitCode, 0);
  const std::string folder = bench.dir.Path("readonly");
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string database = folder + "/host.db";
  ASSERT_EQ(rename(bench.Database().c_str(), database.c_str()), 0);
  ASSERT_EQ(chmod(database.c_str(), 0644), 0);
  ASSERT_EQ(chmod(bench.dir.Path("").c_str(), 0755), 0);
  const auto asNobody = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                  "--clear-groups", DEVHOST_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, std::chrono::seconds(40));
  };
  const auto history = asNobody({"history", "--db", database, "--csv", "-"});
  EXPECT_EQ(history.exitCode, 0) << history.err;
  EXPECT_EQ(Lines(history.out).size(), 4u) << history.out;
  // The picture goes to a folder of the test's own that the reader may write.
  const std::string pictures = bench.dir.Path("pictures");
  ASSERT_EQ(mkdir(pictures.c_str(), 0755), 0);
  ASSERT_EQ(chown(pictures.c_str(), 65534, 65534), 0);
  const auto plot = asNobody({"plot", "--db", database, "--output", pictures + "/history.svg"});
  EXPECT_EQ(plot.exitCode, 0) << plot.err;
}

// More than two records per pixel column: each column keeps its lowest and highest record, so
// no peak is lost, and a gap in the records breaks the curve.
TEST(Plot, LongRangesKeepTheMinimumAndMaximumOfEachColumn) {
  TempDir dir;
  const std::string path = dir.Path("long.db");
  {
    StoreConnection connection(path, true);
    CycleWriter store(connection);
    std::vector<unsigned char> record(47, 0);
    store.Begin();
    for (int i = 0; i < 2000; ++i) {
      if (i >= 1000 && i < 1100) continue;  // a gap of 100 s
      const double temperature = i == 777 ? 99.9 : i == 1500 ? -20.0 : 20.0 + (i % 7) * 0.1;
      // Input register 1 (the temperature, signed tenths) sits at byte 14 of the record.
      const auto tenths = static_cast<uint16_t>(std::lround(temperature * 10));
      record[14] = static_cast<unsigned char>(tenths & 0xFF);
      record[15] = static_cast<unsigned char>(tenths >> 8);
      store.AddHistory(12, CalendarText(CalendarSeconds("2025-06-01 00:00:00").value() + i),
                       record.data(), 47);
    }
    store.Commit();
  }
  StoreConnection connection(path, false);
  StoreReader store(connection);
  const PlotSpan span{"2025-06-01 00:00:00",
                      CalendarText(CalendarSeconds("2025-06-01 00:00:00").value() + 1999)};
  const PlotSeries series = ReadPlotSeries(store, 12, {}, span, 100, 3, [](long long) {});
  EXPECT_EQ(series.samples, 1900);
  EXPECT_TRUE(series.downsampled);
  // The curves of the DO3008RA's measured fields, temperature first.
  ASSERT_EQ(series.curves.size(), 3u);
  ASSERT_EQ(series.curves[0].field->key, "temperature");
  const std::vector<PlotPoint>& temperature = series.curves[0].points;
  ASSERT_LE(temperature.size(), 200u);
  ASSERT_GE(temperature.size(), 150u);
  double low = 1e9, high = -1e9;
  int breaks = 0;
  for (const PlotPoint& point : temperature) {
    low = std::min(low, point.value);
    high = std::max(high, point.value);
    breaks += point.breakBefore;
  }
  EXPECT_DOUBLE_EQ(high, 99.9);
  EXPECT_DOUBLE_EQ(low, -20.0);
  EXPECT_EQ(breaks, 1);
}

// The points of the path that follows `title` in gnuplot's SVG, as (x, y).
std::vector<std::pair<double, double>> PathPoints(const std::string& svg,
                                                  const std::string& title) {
  std::vector<std::pair<double, double>> points;
  const auto group = svg.find("<title>" + title + "</title>");
  if (group == std::string::npos) return points;
  const auto start = svg.find(" d='", group);
  const auto end = svg.find('\'', start + 4);
  std::istringstream in(svg.substr(start + 4, end - start - 4));
  for (std::string token; in >> token;) {
    if (token == "Z") continue;
    double x = 0, y = 0;
    if (std::sscanf(token.c_str() + 1, "%lf,%lf", &x, &y) == 2) points.emplace_back(x, y);
  }
  return points;
}

TEST(Plot, DrawsEveryStoredPointAndTheLimitAtItsValue) {
  Bench bench;
  bench.StartSensor({"--temperature", "24:33:4"});
  const std::string config = bench.Config(Mode5Settings(30, 28), 300);
  ASSERT_EQ(bench.Host({"run", "--cycles", "10", config}).exitCode, 0);
  const std::string svgPath = bench.dir.Path("plot.svg");
  const auto plot = bench.Host({"plot", config, "--output", svgPath});
  ASSERT_EQ(plot.exitCode, 0) << plot.err;

  std::ifstream file(svgPath);
  const std::string svg{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  boost::property_tree::ptree tree;
  std::istringstream xml(svg);
  ASSERT_NO_THROW(boost::property_tree::read_xml(xml, tree)) << "not well-formed XML";
  EXPECT_EQ(tree.count("svg"), 1u);

  // gnuplot draws a repeated point once: the stored rows with their time or value changed.
  const auto rows =
      QueryRows(bench.Database(), "SELECT time, temperature FROM history ORDER BY time, id");
  std::size_t distinct = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) distinct += i == 0 || rows[i] != rows[i - 1];
  const auto data = PathPoints(svg, "temperature");
  EXPECT_EQ(data.size(), distinct);

  // Pixel rows of the lowest and highest temperature give the scale the limit must sit on.
  double low = 1e9, high = -1e9;
  for (const auto& row : rows) {
    low = std::min(low, std::stod(row[1]));
    high = std::max(high, std::stod(row[1]));
  }
  ASSERT_GT(high - low, 1.0);
  double lowY = -1e9, highY = 1e9;
  for (const auto& point : data) {
    lowY = std::max(lowY, point.second);  // SVG y grows downwards
    highY = std::min(highY, point.second);
  }
  const auto limit = PathPoints(svg, "T01 UpValue 30");
  ASSERT_EQ(limit.size(), 2u);
  EXPECT_DOUBLE_EQ(limit[0].second, limit[1].second);
  const double value = low + (lowY - limit[0].second) / (lowY - highY) * (high - low);
  EXPECT_NEAR(value, 30.0, 0.05);

  const auto empty = bench.Host({"plot", config, "--since", "2099-01-01", "--output", svgPath});
  EXPECT_EQ(empty.exitCode, 1);
  EXPECT_NE(empty.err.find("nothing to plot"), std::string::npos) << empty.err;
}

// Three days of records every 30 s: history --every prints the hour rollups' figures, and the
// plot of the three days names the minute rollups it drew from, one of two hours the records.
TEST(HistoryEvery, PrintsHourlyAggregatesAndThePlotNamesItsLevel) {
  Bench bench;
  const long long start = CalendarSeconds("2025-06-01 00:00:00").value();
  {
    StoreConnection connection(bench.Database(), true);
    CycleWriter store(connection);
    std::vector<unsigned char> record(47, 0);
    store.Begin();
    for (long long i = 0; i < 3 * 2880; ++i) {
      const auto tenths = static_cast<int>(200 + i % 120);  // 20.0 to 31.9 °C, each hour
      record[14] = static_cast<unsigned char>(tenths & 0xFF);
      record[15] = static_cast<unsigned char>(tenths >> 8);
      store.AddHistory(Bench::kDataId, CalendarText(start + 30 * i), record.data(), 47);
    }
    store.Commit();
  }
  const auto hourly = bench.Host({"history", "--every", "1h", "--limit", "0", "--json"});
  ASSERT_EQ(hourly.exitCode, 0) << hourly.err;
  const Json::Value document = JsonValue(hourly.out);
  EXPECT_EQ(document["from"].asString(), "rollup_hours");
  ASSERT_EQ(document["aggregates"].size(), 72u) << hourly.out;
  const Json::Value& first = document["aggregates"][0];
  EXPECT_EQ(first["time"].asString(), "2025-06-01T00:00:00+00:00");
  EXPECT_EQ(first["count"].asInt(), 120);
  EXPECT_DOUBLE_EQ(first["temperature_min"].asDouble(), 20.0);
  EXPECT_DOUBLE_EQ(first["temperature_max"].asDouble(), 31.9);
  EXPECT_DOUBLE_EQ(first["temperature_mean"].asDouble(), 25.95);
  const auto csv = bench.Host({"history", "--every", "1m", "--limit", "2", "--csv", "-"});
  EXPECT_EQ(Lines(csv.out).at(0).rfind("data_id,time,count,temperature_min,temperature_mean,", 0),
            0u)
      << csv.out;
  EXPECT_EQ(Lines(csv.out).size(), 3u);

  const std::string svg = bench.dir.Path("days.svg");
  const auto days = bench.Host({"plot", "--data-id", "12", "--output", svg});
  ASSERT_EQ(days.exitCode, 0) << days.err;
  EXPECT_NE(days.out.find("from the minute rollups (4320 minutes)"), std::string::npos) << days.out;
  EXPECT_NE(ReadFile(svg).find("from the minute rollups"), std::string::npos);
  const auto hours = bench.Host({"plot", "--data-id", "12", "--since", "2025-06-02T10:00",
                                 "--until", "2025-06-02T12:00", "--output", svg});
  EXPECT_NE(hours.out.find("plotted 240 record(s) of device 12 from the records, 240 points"),
            std::string::npos)
      << hours.out;
}

}  // namespace
