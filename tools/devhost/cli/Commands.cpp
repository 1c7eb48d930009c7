#include "cli/Commands.h"

#include <cstdio>
#include <exception>
#include <fstream>
#include <thread>
#include <vector>

#include "service/Host.h"
#include "service/Signals.h"
#include "store/HistoryExport.h"

namespace {

HostConfig Configuration(const CommandLine& line) {
  return LoadHostConfig(line.configPath, line.overrides);
}

void AnnounceLines(Host& host, Console& console) {
  for (const auto& line : host.Lines()) {
    const LineConfig& config = line->Config();
    console.Notice("line " + config.device + ": " + std::to_string(config.devices.size()) +
                   " device(s), " + std::to_string(config.baudRate) + " baud, poll every " +
                   std::to_string(config.pollIntervalMs) + " ms");
  }
}

}  // namespace

int RunCommand(const CommandLine& line, Console& console) {
  const HostConfig config = Configuration(line);
  Host host(config, console);
  host.Start();
  AnnounceLines(host, console);
  host.Restore();
  std::vector<std::thread> threads;
  for (auto& controller : host.Lines()) {
    threads.emplace_back([controller, &console, rounds = line.cycles] {
      // Device and store failures are handled per exchange; anything else ends this line only.
      try {
        controller->Run(rounds);
      } catch (const std::exception& error) {
        console.Notice("line " + controller->Config().device + " stopped: " + error.what());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  if (StopRequested()) console.Notice("stopped by signal");
  for (auto& controller : host.Lines()) controller->PrintSummaries();
  return kExitOk;
}

int StatusCommand(const CommandLine& line, Console& console) {
  const HostConfig config = Configuration(line);
  Host host(config, console);
  host.Start();
  host.Restore();
  for (auto& controller : host.Lines()) {
    for (auto& device : controller->Devices()) controller->WaitForNextSecond(*device);
    controller->PollRound();
    for (auto& device : controller->Devices()) {
      const auto document = controller->StatusDocument(*device);
      if (document) {
        console.Status(device->dataId, *document);
      } else {
        console.Notice("device " + std::to_string(device->dataId) + " gives no status document");
      }
    }
  }
  return kExitOk;
}

int WriteCommand(const CommandLine& line, Console& console) {
  const HostConfig config = Configuration(line);
  if (config.FindDevice(line.dataId) == nullptr) {
    throw ConfigError("configuration " + config.path + " has no device with data id " +
                      std::to_string(line.dataId));
  }
  Host host(config, console);
  host.Start();
  host.Restore();
  LineController* controller = nullptr;
  HostedDevice* device = host.Find(line.dataId, &controller);
  const std::string outcome = controller->WriteRegisters(*device, line.address, line.values);
  // One cycle after the write shows what the sensor holds now.
  controller->WaitForNextSecond(*device);
  controller->PollDevice(*device);
  if (const auto document = controller->StatusDocument(*device)) {
    console.Status(device->dataId, *document);
  }
  return outcome == "confirmed" ? kExitOk : kExitNotConfirmed;
}

int HistoryCommand(const CommandLine& line, Console& console) {
  std::string database = line.overrides.database;
  if (!line.configPath.empty()) database = Configuration(line).database;
  Store store(database, false);
  const auto rows = store.History(line.historyDataId, line.limit);
  if (!line.csvPath) {
    const std::string table = console.Json() ? HistoryJsonLines(rows) : HistoryTable(rows);
    std::fwrite(table.data(), 1, table.size(), stdout);
    return kExitOk;
  }
  const std::string csv = HistoryCsv(rows);
  if (*line.csvPath == "-") {
    std::fwrite(csv.data(), 1, csv.size(), stdout);
    return kExitOk;
  }
  std::ofstream file(*line.csvPath, std::ios::binary | std::ios::trunc);
  if (!file || !file.write(csv.data(), static_cast<std::streamsize>(csv.size()))) {
    throw StoreError("cannot write " + *line.csvPath);
  }
  console.Notice("exported " + std::to_string(rows.size()) + " record(s) to " + *line.csvPath);
  return kExitOk;
}
