// SPDX-License-Identifier: Apache-2.0
#include <cstdio>
#include <fstream>

#include "base/ExitStatus.h"
#include "cli/Commands.h"
#include "events/Console.h"
#include "plot/Gnuplot.h"
#include "plot/PlotData.h"
#include "plot/PlotScript.h"
#include "plot/Progress.h"
#include "store/StoreReader.h"

namespace {

constexpr std::chrono::seconds kGnuplotLimit{120};
// Plot area: the picture less the margins, one column per pixel.
constexpr int kMarginPixels = 110;

// Without --data-id, the one device the configuration names; nothing with --db alone.
std::optional<uint32_t> NamedDevice(const CommandLine& line, const HostConfig* config) {
  if (line.historyDataId) return *line.historyDataId;
  if (config == nullptr) return std::nullopt;
  std::vector<uint32_t> ids;
  for (const LineConfig& l : config->lines) {
    for (const DeviceConfig& device : l.devices) ids.push_back(device.dataId);
  }
  if (ids.size() == 1) return ids.front();
  throw UsageError("plot needs --data-id N (the configuration has more than one device)");
}

// --db alone: the one device the database holds.
uint32_t StoredDevice(StoreReader& store) {
  const std::vector<uint32_t> ids = store.StoredDevices();
  if (ids.size() == 1) return ids.front();
  if (ids.empty())
    throw UsageError("plot: database " + store.Path() + " holds no device's records");
  std::string list;
  for (uint32_t id : ids) list += (list.empty() ? "" : ", ") + std::to_string(id);
  throw UsageError("plot needs --data-id N (database " + store.Path() +
                   " holds the records of devices " + list + ")");
}

long long GapSeconds(const HostConfig* config, uint32_t dataId) {
  long long seconds = 3;
  if (config == nullptr) return seconds;
  for (const LineConfig& l : config->lines) {
    for (const DeviceConfig& device : l.devices) {
      if (device.dataId == dataId) seconds = std::max(seconds, 3LL * l.pollIntervalMs / 1000);
    }
  }
  return seconds;
}

// Alarm changes of the plotted signals and link outages, from the store.
void AddEvents(StoreReader& store, uint32_t dataId, const TimeRange& range, PlotRequest& request) {
  RowQuery query;
  query.dataId = dataId;
  query.range = range;
  // id, data_id, time, alarm_id, signal_name, level, active, ...
  for (const auto& row : store.Events(EventTable::kAlarms, query).rows) {
    const int signal = SignalOfName(request.series, row[4].asString());
    if (signal >= 0) {
      request.alarms.push_back(PlotAlarm{signal, IsoFromStoreText(row[2].asString()),
                                         row[6].asInt64() != 0, row[3].asString()});
    }
  }
  // id, data_id, time, event, ...
  std::optional<std::string> lostAt;
  for (const auto& row : store.Events(EventTable::kLinks, query).rows) {
    const std::string time = IsoFromStoreText(row[2].asString());
    if (row[3].asString() == "lost") {
      if (!lostAt) lostAt = time;
    } else if (lostAt) {
      request.outages.push_back(PlotOutage{*lostAt, time});
      lostAt.reset();
    }
  }
  if (lostAt) request.outages.push_back(PlotOutage{*lostAt, request.last});
}

bool IsPng(const std::string& path) {
  const auto dot = path.rfind('.');
  const std::string extension = dot == std::string::npos ? "" : path.substr(dot);
  if (extension == ".png") return true;
  if (extension == ".svg") return false;
  throw UsageError("--output: the file must end in .svg or .png, got '" + path + "'");
}

std::string RangeText(const CommandLine& line) {
  return (line.since.empty() ? std::string("the first record") : line.since) + " to " +
         (line.until.empty() ? std::string("the last") : line.until);
}

}  // namespace

int PlotCommand(const CommandLine& line, Console& console) {
  std::optional<HostConfig> config;
  std::string database = line.overrides.database;
  if (!line.configPath.empty()) {
    config = LoadHostConfig(line.configPath, line.overrides);
    database = config->database;
  }
  const HostConfig* hostConfig = config ? &*config : nullptr;
  const std::optional<uint32_t> named = NamedDevice(line, hostConfig);
  // A wrong --output is a usage error before any database is opened.
  if (!line.plotOutput.empty()) IsPng(line.plotOutput);
  StoreConnection connection(database, StoreConnection::ReadOnly{});
  StoreReader store(connection);
  const uint32_t dataId = named ? *named : StoredDevice(store);
  const std::string output =
      line.plotOutput.empty() ? "device-" + std::to_string(dataId) + ".svg" : line.plotOutput;
  PlotRequest request;
  request.dataId = dataId;
  request.png = IsPng(output);
  request.width = line.plotWidth;
  request.height = line.plotHeight;
  const TimeRange range = ParseRange(line);

  const auto columns = static_cast<std::size_t>(std::max(line.plotWidth - kMarginPixels, 100));
  const auto source = ChoosePlotSource(store, dataId, range, columns);
  if (!source) {
    std::fprintf(stderr, "devhost: nothing to plot: device %u has no records from %s\n", dataId,
                 RangeText(line).c_str());
    return kExitNothingToPlot;
  }
  const PlotSpan& span = source->span;
  request.first = IsoFromStoreText(span.first);
  request.last = IsoFromStoreText(span.last);
  request.spanSeconds =
      CalendarSeconds(span.last).value_or(0) - CalendarSeconds(span.first).value_or(0);
  // One second of axis at least, or gnuplot has no range to draw.
  if (request.last == request.first) {
    const auto seconds = CalendarSeconds(span.first).value_or(0);
    request.last = IsoFromStoreText(CalendarText(seconds + 1));
  }
  Progress progress;
  request.series = ReadPlotSeries(
      store, dataId, range, span, columns, GapSeconds(hostConfig, dataId),
      [&](long long rows) { progress.Say("plot: " + std::to_string(rows) + " rows read"); },
      source->level);
  if (request.series.curves.empty()) {
    std::fprintf(stderr,
                 "devhost: nothing to plot: the records of device %u from %s are of no device "
                 "type devhost knows\n",
                 dataId, RangeText(line).c_str());
    return kExitNothingToPlot;
  }
  AddEvents(store, dataId, range, request);
  if (hostConfig != nullptr) {
    if (const DeviceConfig* device = hostConfig->FindDevice(dataId)) {
      request.limits = ModeFiveLimits(device->settings, request.series);
    }
  }
  progress.Say("plot: drawing with gnuplot");
  const std::string picture = RunGnuplot(PlotScriptText(request), kGnuplotLimit);
  progress.Done();
  std::ofstream file(output, std::ios::binary | std::ios::trunc);
  if (!file || !file.write(picture.data(), static_cast<std::streamsize>(picture.size()))) {
    throw PlotError("cannot write " + output);
  }
  const PlotSeries& series = request.series;
  console.Notice("plotted " + std::to_string(series.samples) + " record(s) of device " +
                 std::to_string(dataId) + " " + LevelText(series) + ", " +
                 std::to_string(series.curves.front().points.size()) + " points per curve" +
                 (series.downsampled ? ", min/max per pixel column" : "") + ", to " + output);
  return kExitOk;
}
