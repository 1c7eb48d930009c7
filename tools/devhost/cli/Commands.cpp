// SPDX-License-Identifier: Apache-2.0
#include "cli/Commands.h"

#include <cstdio>
#include <tuple>

#include "base/ExitStatus.h"
#include "base/Signals.h"
#include "cli/ConfigReload.h"
#include "cli/OutputFile.h"
#include "cli/SinkRegistry.h"
#include "cli/StartLine.h"
#include "config/MqttConfig.h"
#include "control/ControlServer.h"
#include "control/RequestHandler.h"
#include "events/Clock.h"
#include "events/Console.h"
#include "line/DeviceReports.h"
#include "plot/Progress.h"
#include "service/Host.h"
#include "service/LineThreads.h"
#include "service/PeriodicSummary.h"
#include "sinks/RunningSinks.h"
#include "store/FutureRows.h"
#include "store/HistoryExport.h"
#include "store/Retention.h"
#include "store/RetentionHolds.h"
#include "store/RollupBackfill.h"
#include "store/StoreReader.h"

namespace {

HostConfig Configuration(const CommandLine& line) {
  return LoadHostConfig(line.configPath, line.overrides);
}

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

void AnnounceLines(Host& host, Console& console) {
  for (const auto& line : host.Lines()) {
    const LineConfig& config = line->Config();
    const std::string every = config.pollIntervalMs == 0
                                  ? std::string("back to back")
                                  : "every " + std::to_string(config.pollIntervalMs) + " ms";
    console.Notice("line " + config.device + ": " + std::to_string(config.devices.size()) +
                   " device(s), " + std::to_string(config.baudRate) + " baud, poll " + every);
    // The device rebuilds its status document, and so evaluates its rules, once per wall-clock
    // second: a faster poll stores every value but not every value meets the rules.
    if (config.pollIntervalMs < 1000) {
      console.Notice("line " + config.device + ": polled " + every +
                     ", but the devices evaluate their alarm rules once a second, on the "
                     "first poll of each second: a value seen only by the other polls of that "
                     "second is stored but raises or clears no alarm");
    }
  }
}

bool EveryDeviceCompletedACycle(Host& host) {
  for (auto& line : host.Lines()) {
    for (auto& device : line->Devices()) {
      if (device->cycles == 0) return false;
    }
  }
  return true;
}

// The MQTT bridge's counts, its queue's losses included, for the periodic summary.
PeriodicSummary::MqttCounts MqttCountsOf(RunningSinks& sinks) {
  return [&sinks] {
    std::vector<MqttSummaryEvent> links;
    for (const SinkCount& count : sinks.Counts()) {
      if (count.sink == "mqtt") {
        links.push_back({count.dataId, count.published, count.dropped, count.superseded});
      }
    }
    return links;
  };
}

}  // namespace

int RunCommand(const CommandLine& line, Console& console) {
  HostConfig config = Configuration(line);
  const std::size_t loaded = config.warnings.size();
  LoadMqttFiles(config);
  for (std::size_t i = loaded; i < config.warnings.size(); ++i) {
    std::fprintf(stderr, "devhost: configuration %s: %s\n", config.path.c_str(),
                 config.warnings[i].c_str());
  }
  Host host(config);
  ControlServer server(config.controlSocket, RequestHandler(host), config.controlSocketGroup);
  // After the ports (a second host on one configuration is refused for its port), before the
  // database.
  host.Start(Host::SerialLines::kOpen, [&server] { server.RemoveStaleSocket(); });
  host.AddSink(console);
  server.Start();
  console.Notice(StartLine(config));
  AnnounceLines(host, console);
  console.Notice("control socket " + server.Path() +
                 (config.controlSocketGroup
                      ? " (mode 0660: group " + config.controlSocketGroupText + " may use it)"
                      : ""));
  RunningSinks sinks;
  sinks.Start(SinkKinds(), config, host, console);
  host.Restore();
  ConfigReload reload(config, line.overrides, host, sinks, console);
  // On a terminal SIGHUP still means it closed: the host stops, as on SIGTERM.
  if (!HasControllingTerminal()) ReloadOnHangup();
  LineThreads lines(host, LineThreads::Work::kPoll, line.cycles,
                    [&console](const std::string& text) { console.Notice(text); });
  {
    PeriodicSummary summary(host, std::chrono::seconds(line.summaryEverySeconds),
                            config.mqtt ? MqttCountsOf(sinks) : PeriodicSummary::MqttCounts(),
                            [&console](const std::string& text) { console.Notice(text); });
    // A SIGHUP is seen within this wait's length.
    while (!lines.WaitEnded(std::chrono::milliseconds(250))) {
      if (TakeReloadRequest()) reload.Run();
    }
    lines.Join();
  }
  server.Stop();
  if (StopRequested()) console.Notice("stopped by signal");
  for (auto& controller : host.Lines()) EmitSummaries(controller->Devices(), controller->Events());
  sinks.Stop(host);
  const std::vector<std::string> losses = host.StoreLosses();
  for (const std::string& loss : losses) console.Notice(loss);
  // A bounded run that never heard from a device, or did not keep what it heard, did not do
  // its job.
  if (line.cycles > 0 && !EveryDeviceCompletedACycle(host)) return kExitNoAnswer;
  if (line.cycles > 0 && !losses.empty()) return kExitDatabase;
  return kExitOk;
}

TimeRange ParseRange(const CommandLine& line) {
  const std::time_t now = WallNow();
  TimeRange range;
  for (auto [text, bound, name] : {std::make_tuple(&line.since, &range.since, "--since"),
                                   std::make_tuple(&line.until, &range.until, "--until")}) {
    if (text->empty()) continue;
    const auto parsed = ParseTimeBound(*text, now);
    if (!parsed) {
      throw UsageError(std::string(name) + ": expected a local time like 2026-12-08T01:49:28 " +
                       "or a time back from now like 2h or 7d, got '" + *text + "'");
    }
    *bound = *parsed;
  }
  // Equal bounds are an instant, which may hold records; a reversed range holds none.
  if (!range.since.empty() && !range.until.empty() && range.since > range.until) {
    throw UsageError("--since " + line.since + " is after --until " + line.until +
                     ": the range holds nothing (swap them?)");
  }
  return range;
}

namespace {

std::string DatabaseOf(const CommandLine& line) {
  if (!line.configPath.empty()) return Configuration(line).database;
  return line.overrides.database;
}

EventTable TableNamed(const std::string& name) {
  if (name == "alarms") return EventTable::kAlarms;
  if (name == "links") return EventTable::kLinks;
  return EventTable::kReports;
}

void WriteCsv(const std::string& csv, const std::string& path) {
  if (path == "-") return Print(csv);
  WriteWholeFile(path, csv);
}

// history --every: from the rollups of that level where they reach back as far as the
// records do (and are complete), else computed from the records.
int AggregatesCommand(const CommandLine& line, Console& console, StoreReader& store,
                      const RowQuery& query) {
  const Level bucket = *LevelOfEvery(line.every);
  std::array<std::optional<long long>, kLevels> first;
  for (const Level level : {Level::kRaw, bucket}) {
    if (level != Level::kRaw && !store.Rollups().Complete()) continue;
    if (const auto span = store.Span(level, query.dataId, query.range)) {
      first[static_cast<std::size_t>(level)] = CalendarSeconds(span->first);
    }
  }
  const Level source = ChooseLevel(FactsOf(bucket).seconds, first);
  std::vector<Aggregate> rows;
  store.ForEachAggregate(source, bucket, query, [&](const Aggregate& row) { rows.push_back(row); });
  if (!line.csvPath) {
    Print(console.Json() ? AggregatesJsonDocument(rows, bucket, source)
                         : AggregatesTable(rows, bucket, source));
    return kExitOk;
  }
  WriteCsv(AggregatesCsv(rows), *line.csvPath);
  if (*line.csvPath != "-") {
    console.Notice("exported " + std::to_string(rows.size()) + " aggregate(s) per " +
                   FactsOf(bucket).name + " from " + SourceText(source) + " to " + *line.csvPath);
  }
  return kExitOk;
}

}  // namespace

int HistoryCommand(const CommandLine& line, Console& console) {
  RowQuery query;
  query.dataId = line.historyDataId;
  query.range = ParseRange(line);
  query.limit = line.limit;
  if (!line.every.empty() && !line.historyTable.empty()) {
    throw UsageError("--every aggregates the records; it does not go with --" + line.historyTable);
  }
  StoreConnection connection(DatabaseOf(line), StoreConnection::ReadOnly{});
  StoreReader store(connection);
  // Said as what it is, not as SQLite's "no such table" at the first query.
  if (!store.HasHistory()) {
    throw StoreError("database " + connection.Path() +
                     " holds no history: an empty file, or not a host's database");
  }
  if (!line.every.empty()) return AggregatesCommand(line, console, store, query);
  if (!line.historyTable.empty()) {
    const StoredRows rows = store.Events(TableNamed(line.historyTable), query);
    if (line.csvPath) {
      WriteCsv(EventRowsCsv(rows), *line.csvPath);
    } else {
      Print(console.Json() ? EventRowsJsonDocument(rows, line.historyTable)
                           : EventRowsTable(rows, line.historyTable));
    }
    return kExitOk;
  }
  const auto rows = store.History(query);
  if (!line.csvPath) {
    Print(console.Json() ? HistoryJsonDocument(rows) : HistoryTable(rows));
    return kExitOk;
  }
  WriteCsv(HistoryCsv(rows), *line.csvPath);
  if (*line.csvPath != "-") {
    console.Notice("exported " + std::to_string(rows.size()) + " record(s) to " + *line.csvPath);
  }
  return kExitOk;
}

namespace {

// The clock prune reads; throws while the kernel calls it unsynchronised and nobody trusts it.
ClockReading PruneClock(const CommandLine& line) {
  const ClockReading clock = ReadClock();
  if (clock.synchronised == false && !line.trustClock &&
      !(!line.configPath.empty() && Configuration(line).trustUnsynchronisedClock)) {
    throw std::runtime_error(
        "prune: the system clock is not synchronised (adjtimex); nothing "
        "deleted (--trust-clock: it is right all the same)");
  }
  return clock;
}

// prune --future: the rows a clock that ran ahead stamped later than now.
int PruneFuture(const CommandLine& line, Console& console) {
  StoreConnection store(DatabaseOf(line), false);
  const ClockReading clock = PruneClock(line);
  const FutureRows future = FindFutureRows(store, clock.wall);
  Progress progress;
  const long long deleted = RemoveFutureRows(store, clock.wall, [&](long long done) {
    progress.Say("prune: " + std::to_string(done) + " rows stamped later than now deleted");
    return !StopRequested();
  });
  console.Notice(std::string(StopRequested() ? "stopped by signal after deleting " : "deleted ") +
                 std::to_string(deleted) + " row(s) stamped later than now (" +
                 IsoTimeText(clock.wall) + ")" +
                 (future.count > 0
                      ? ": " + std::to_string(future.count) + " history row(s) from " +
                            IsoFromStoreText(future.first) + " to " +
                            IsoFromStoreText(future.last) + ", with their events and rollup buckets"
                      : std::string()));
  return kExitOk;
}

}  // namespace

int PruneCommand(const CommandLine& line, Console& console) {
  if (line.future) return PruneFuture(line, console);
  std::optional<int> days = line.retentionDays;
  if (!days && !line.configPath.empty()) days = Configuration(line).retentionDays;
  if (!days) {
    throw UsageError("prune needs --days N or retentionDays in the configuration");
  }
  // Small batches on a connection of its own: a host running on the same database waits for
  // one batch at most. Never VACUUM: the file keeps its size, freed pages are reused.
  StoreConnection store(DatabaseOf(line), false);
  RetentionDays levels{days, HostConfig().minuteRetentionDays, HostConfig().hourRetentionDays};
  if (!line.configPath.empty()) {
    const HostConfig config = Configuration(line);
    levels.minutes = config.minuteRetentionDays;
    levels.hours = config.hourRetentionDays;
  }
  Progress progress;
  // History rows go only once they are in the rollups: a database without them gets them
  // first, as a host would make them (in batches; a host running meanwhile waits one at most).
  EnsureRollupTables(store.Handle());
  const bool rolledUp = RollupBackfill::RunToEnd(store, [&](const std::string& done) {
    progress.Say("prune: rolling up the rows first, " + done);
    return !StopRequested();
  });
  if (!rolledUp) {
    console.Notice("stopped by signal while rolling up the rows, before pruning");
    return kExitOk;
  }
  const ClockReading clock = PruneClock(line);
  RetentionHolds holds(store);
  holds.Ensure();
  if (const auto later = RowsStampedLater(store, clock.wall)) {
    console.Notice("prune: " + *later);
  }
  holds.Settle(StoreTimeText(clock.wall + 86400LL * LongestRetention(levels)),
               StoreTimeText(clock.wall));
  Pruner pruner(store, levels, clock.wall);
  const std::string doubt = StoredTimeDoubt(store, clock.wall, pruner.Cutoff());
  if (!doubt.empty()) {
    throw std::runtime_error("prune: " + doubt + "; nothing deleted");
  }
  while (pruner.Step()) {
    if (StopRequested()) break;
    progress.Say("prune: " + std::to_string(pruner.Deleted()) + " rows deleted");
  }
  console.Notice(std::string(pruner.Done() ? "pruned " : "stopped by signal after pruning ") +
                 pruner.Summary());
  return kExitOk;
}
