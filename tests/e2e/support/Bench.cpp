// SPDX-License-Identifier: Apache-2.0
#include "Bench.h"

#include <sys/stat.h>

#include <stdexcept>

#include "Wait.h"

#ifndef DEVHOST_PATH
#error "DEVHOST_PATH must name the devhost binary"
#endif

void Bench::StartSensor(const std::vector<std::string>& options) {
  std::vector<std::string> argv{SIM_PATH, "--link", dir.Path("tty")};
  argv.insert(argv.end(), options.begin(), options.end());
  sensor_ = std::make_unique<BackgroundProcess>(argv, dir.Path("sensor.log"));
  const std::string link = dir.Path("tty");
  const auto made = WaitUntil("the simulator's link " + link, std::chrono::seconds(10), [&] {
    struct stat info {};
    return lstat(link.c_str(), &info) == 0;
  });
  if (!made)
    throw std::runtime_error(std::string("the simulator did not start: ") + made.message());
}

int Bench::StopSensor() {
  if (!sensor_) return -1;
  const int code = sensor_->Stop();
  sensor_.reset();
  return code;
}

std::string Bench::Config(const std::string& settingsJson, int pollIntervalMs,
                          int responseTimeoutMs) const {
  const std::string path = dir.Path("host.json");
  dir.Write("host.json", R"({"lines": [{"device": ")" + dir.Path("tty") +
                             R"(", "baudRate": 9600, "responseTimeoutMs": )" +
                             std::to_string(responseTimeoutMs) + R"(, "pollIntervalMs": )" +
                             std::to_string(pollIntervalMs) +
                             R"(, "devices": [{"plugin": "do3008ra.so", "dataId": )" +
                             std::to_string(kDataId) + R"(, "slaveAddress": 1, "settings": )" +
                             settingsJson + "}]}]}");
  return path;
}

std::vector<std::string> Bench::HostCommand(const std::vector<std::string>& args) const {
  std::vector<std::string> argv{DEVHOST_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  for (const std::string& option :
       {std::string("--db"), Database(), std::string("--plugin-dir"), std::string(PLUGIN_DIR),
        std::string("--plugin-log"), dir.Path("plugin.log"), std::string("--log-level"),
        std::string("detail")}) {
    argv.push_back(option);
  }
  return argv;
}

ProcessResult Bench::Host(const std::vector<std::string>& args, std::chrono::seconds limit) const {
  return RunProgram(HostCommand(args), limit);
}

std::vector<Bytes> Bench::HistoryRecords() const {
  return QueryBlobs(Database(), "SELECT record FROM history ORDER BY id");
}

std::string Mode5Settings(double upLimit, double upRecover) {
  return R"({"appSetting": {"b_mode": 5}, "thresholdSetting": {"t": {"ID": "T01",
      "SignalName": "温度", "UpValue": )" +
         std::to_string(upLimit) + R"(, "UpReconverValue": )" + std::to_string(upRecover) +
         R"(, "UpAlarmLevel": 2}}})";
}

unsigned RecordWord(const Bytes& record, std::size_t offset) {
  return record.at(offset) | (record.at(offset + 1) << 8);
}
