#include "cli/Commands.h"

#include <cstdio>
#include <exception>
#include <fstream>
#include <thread>
#include <tuple>
#include <vector>

#include "control/ControlClient.h"
#include "control/ControlServer.h"
#include "control/RequestHandler.h"
#include "line/WriteOutcome.h"
#include "mqtt/Bridge.h"
#include "plot/Progress.h"
#include "service/CommandResult.h"
#include "service/Host.h"
#include "service/Signals.h"
#include "store/HistoryExport.h"
#include "store/Pruner.h"

static_assert(kWriteConfirmedStatus == kExitOk && kWriteNotConfirmedStatus == kExitNotConfirmed &&
                  kWriteNoAnswerStatus == kExitNoAnswer && kWriteRefusedStatus == kExitRefused,
              "a write's outcome is the command's exit status");

namespace {

// Long enough for a write, the cycle that shows it and a busy line before it.
constexpr std::chrono::seconds kAnswerLimit{60};

HostConfig Configuration(const CommandLine& line) {
  return LoadHostConfig(line.configPath, line.overrides);
}

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

int PrintResult(const CommandResult& result, bool json) {
  Print(json ? DocumentText(result.Document()) : result.Text());
  return result.exitStatus;
}

// A running host answered: the same output as the command would give here.
int PrintAnswer(Json::Value answer, bool json) {
  const int status = answer["exit_code"].asInt();
  if (answer.isMember("error")) {
    std::fprintf(stderr, "devhost: the running host refused the request: %s\n",
                 answer["error"].asString().c_str());
    return status;
  }
  const std::string text = answer["text"].asString();
  answer.removeMember("text");
  Print(json ? DocumentText(answer) : text);
  return status;
}

// The running host's answer to `request`, when a host runs on this configuration.
std::optional<Json::Value> AskHost(const HostConfig& config, const Json::Value& request) {
  return AskRunningHost(config.controlSocket, request, kAnswerLimit);
}

void AnnounceLines(Host& host, Console& console) {
  for (const auto& line : host.Lines()) {
    const LineConfig& config = line->Config();
    console.Notice("line " + config.device + ": " + std::to_string(config.devices.size()) +
                   " device(s), " + std::to_string(config.baudRate) + " baud, poll every " +
                   std::to_string(config.pollIntervalMs) + " ms");
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

void RunLines(Host& host, Console& console, long rounds) {
  std::vector<std::thread> threads;
  for (auto& controller : host.Lines()) {
    threads.emplace_back([controller, &console, rounds] {
      // Device and store failures are handled per exchange; anything else ends this line only.
      try {
        controller->Run(rounds);
      } catch (const std::exception& error) {
        console.Notice("line " + controller->Config().device + " stopped: " + error.what());
      }
      controller->Close();
    });
  }
  for (auto& thread : threads) thread.join();
}

}  // namespace

int RunCommand(const CommandLine& line, Console& console) {
  const HostConfig config = Configuration(line);
  Host host(config);
  host.Start();
  host.AddSink(console);
  ControlServer server(config.controlSocket, RequestHandler(host));
  server.Start();
  AnnounceLines(host, console);
  console.Notice("control socket " + server.Path());
  const std::unique_ptr<MqttSink> mqtt = StartMqttBridge(config, host, console);
  host.Restore();
  RunLines(host, console, line.cycles);
  server.Stop();
  if (StopRequested()) console.Notice("stopped by signal");
  for (auto& controller : host.Lines()) controller->EmitSummaries();
  if (mqtt) StopMqttBridge(*mqtt, host);
  const std::vector<std::string> losses = host.StoreLosses();
  for (const std::string& loss : losses) console.Notice(loss);
  // A bounded run that never heard from a device, or did not keep what it heard, did not do
  // its job.
  if (line.cycles > 0 && !EveryDeviceCompletedACycle(host)) return kExitNoAnswer;
  if (line.cycles > 0 && !losses.empty()) return kExitDatabase;
  return kExitOk;
}

int StatusCommand(const CommandLine& line, Console& console) {
  const HostConfig config = Configuration(line);
  Json::Value request(Json::objectValue);
  request["command"] = "status";
  if (auto answer = AskHost(config, request)) return PrintAnswer(*answer, console.Json());

  Host host(config);
  host.Start();
  CommandResult result{"status", kExitOk, {}};
  CollectingSink collected;
  host.AddSink(collected);
  host.Restore();
  for (auto& controller : host.Lines()) {
    for (auto& device : controller->Devices()) controller->WaitForNextSecond(*device);
    controller->PollRound();
    for (auto& device : controller->Devices()) {
      if (!controller->EmitStatus(*device)) result.exitStatus = kExitNoAnswer;
    }
  }
  result.events = collected.Events();
  return PrintResult(result, console.Json());
}

int WriteCommand(const CommandLine& line, Console& console) {
  const HostConfig config = Configuration(line);
  if (config.FindDevice(line.dataId) == nullptr) {
    throw ConfigError("configuration " + config.path + " has no device with data id " +
                      std::to_string(line.dataId));
  }
  Json::Value request(Json::objectValue);
  request["command"] = "write";
  request["data_id"] = line.dataId;
  request["address"] = line.address;
  request["values"] = Json::Value(Json::arrayValue);
  for (uint16_t value : line.values) request["values"].append(value);
  if (auto answer = AskHost(config, request)) return PrintAnswer(*answer, console.Json());

  Host host(config);
  host.Start();
  CollectingSink collected;
  host.AddSink(collected);
  host.Restore();
  LineController* controller = nullptr;
  HostedDevice* device = host.Find(line.dataId, &controller);
  const WriteResult written = controller->WriteRegisters(*device, line.address, line.values);
  // One cycle after the write shows what the sensor holds now.
  controller->WaitForNextSecond(*device);
  controller->PollDevice(*device);
  controller->EmitStatus(*device);
  return PrintResult(CommandResult{"write", written.exitStatus, collected.Events()},
                     console.Json());
}

int AlarmsCommand(const CommandLine& line, Console& console) {
  const HostConfig config = Configuration(line);
  Json::Value request(Json::objectValue);
  request["command"] = "alarms";
  if (auto answer = AskHost(config, request)) return PrintAnswer(*answer, console.Json());

  // No host runs: the alarms as the store last knew them; the line is not needed for that.
  Store store(config.database, false);
  CommandResult result{"alarms", kExitOk, {}};
  for (const LineConfig& lineConfig : config.lines) {
    for (const DeviceConfig& device : lineConfig.devices) {
      ActiveAlarmsEvent event;
      event.dataId = device.dataId;
      for (const auto& alarm : store.LastAlarmEvents(device.dataId)) {
        if (alarm.second.active) event.active.push_back(alarm.second);
      }
      result.events.push_back(HostEvent{std::time(nullptr), event});
    }
  }
  return PrintResult(result, console.Json());
}

TimeRange ParseRange(const CommandLine& line) {
  const std::time_t now = std::time(nullptr);
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
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file || !file.write(csv.data(), static_cast<std::streamsize>(csv.size()))) {
    throw StoreError("cannot write " + path);
  }
}

}  // namespace

int HistoryCommand(const CommandLine& line, Console& console) {
  RowQuery query;
  query.dataId = line.historyDataId;
  query.range = ParseRange(line);
  query.limit = line.limit;
  Store store(DatabaseOf(line), false);
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

int PruneCommand(const CommandLine& line, Console& console) {
  std::optional<int> days = line.retentionDays;
  if (!days && !line.configPath.empty()) days = Configuration(line).retentionDays;
  if (!days) {
    throw UsageError("prune needs --days N or retentionDays in the configuration");
  }
  // Small batches on a connection of its own: a host running on the same database waits for
  // one batch at most. Never VACUUM: the file keeps its size, freed pages are reused.
  Store store(DatabaseOf(line), false);
  Pruner pruner(store, RetentionCutoff(*days, std::time(nullptr)));
  Progress progress;
  while (pruner.Step()) {
    if (StopRequested()) break;
    progress.Say("prune: " + std::to_string(pruner.Deleted()) + " rows deleted");
  }
  console.Notice(std::string(pruner.Done() ? "pruned" : "stopped by signal after pruning") +
                 " rows before " + IsoFromStoreText(pruner.Cutoff()) + ": " + pruner.Summary());
  return kExitOk;
}
