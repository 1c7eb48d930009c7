// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Database.h"
#include "Process.h"
#include "TempDir.h"

// One bench for an end-to-end test: a folder of its own, the simulated sensor on a
// pseudo-terminal linked at <folder>/tty, configurations on that line and the host run on them.
class Bench {
 public:
  static constexpr uint32_t kDataId = 12;

  Bench() = default;

  // Starts the simulator with these options and waits (bounded) until its link is there.
  void StartSensor(const std::vector<std::string>& options);
  // Stops it; its exit code.
  int StopSensor();
  std::string SensorLog() const { return ReadFile(dir.Path("sensor.log")); }
  pid_t SensorPid() const { return sensor_ ? sensor_->Pid() : -1; }

  // An answer the simulator sends is never this late, however loaded the machine: tests that
  // expect a clean line use it, and only tests of a silent or late sensor name a shorter one.
  static constexpr int kAnswerTimeoutMs = 1000;
  // A configuration with one line on the simulator and one device with these settings.
  std::string Config(const std::string& settingsJson, int pollIntervalMs = 100,
                     int responseTimeoutMs = kAnswerTimeoutMs) const;
  // Runs devhost with the bench's database, plug-in folder and plug-in log.
  ProcessResult Host(const std::vector<std::string>& args,
                     std::chrono::seconds limit = std::chrono::seconds(40)) const;
  std::vector<std::string> HostCommand(const std::vector<std::string>& args) const;

  std::string Database() const { return dir.Path("host.db"); }
  std::vector<Bytes> HistoryRecords() const;

  TempDir dir;

 private:
  std::unique_ptr<BackgroundProcess> sensor_;
};

// Settings documents used by several tests.
std::string Mode5Settings(double upLimit = 30, double upRecover = 28);
// The 16-bit little-endian word at `offset` of a record.
unsigned RecordWord(const Bytes& record, std::size_t offset);
