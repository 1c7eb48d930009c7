// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/HostConfig.h"
#include "host/PluginLibrary.h"
#include "host/Provider.h"
#include "line/LineController.h"
#include "service/LineStore.h"
#include "store/Retention.h"
#include "store/RollupBackfill.h"

struct PluginError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Everything the configuration describes, brought up in an order that leaves nothing
// half-written when a step fails: plug-ins and devices first, then the serial lines, the
// database last.
class Host {
 public:
  explicit Host(const HostConfig& config);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  // Loads the plug-ins (PluginError), makes and configures the devices in the working
  // directory (ConfigError when a device rejects its settings), opens the serial lines
  // (SerialError) and the database (StoreError). Without its serial lines, a host can only
  // answer from what it keeps (alarms), with the sensor's port busy or gone.
  enum class SerialLines { kOpen, kLeftClosed };
  // `beforeStore` runs once the lines are open and before the database is opened or created:
  // a check that refuses the start (another host's control socket) leaves no database behind.
  void Start(SerialLines serialLines = SerialLines::kOpen,
             const std::function<void()>& beforeStore = {});
  // Resolves a readdress or rebaud that was interrupted (ResolveInterruptedChanges), then
  // hands each device its last stored record and alarm states.
  void Restore();
  // The last change of each of the device's alarms as stored; throws StoreError.
  std::map<std::string, AlarmEvent> StoredAlarms(uint32_t dataId);
  // Per line, what its store did not keep in this run; empty when it kept every cycle.
  std::vector<std::string> StoreLosses() const;
  // `sink` takes the events of every line from now on; RemoveSink: no more. Only while the lines
  // do not run or are parked (service/LinePause.h).
  void AddSink(EventSink& sink);
  void RemoveSink(EventSink& sink);
  // Gives a running device new settings (its rules, its reports), with the lines parked: what it
  // says of its rule file, if anything. ConfigError when the device refuses them; it then has
  // `before` again.
  std::optional<std::string> Reconfigure(const DeviceConfig& now, const DeviceConfig& before);

  std::vector<std::shared_ptr<LineController>>& Lines() { return lines_; }
  const HostConfig& Config() const { return config_; }
  // The device with this data id and the line it is on; nullptr when there is none.
  HostedDevice* Find(uint32_t dataId, LineController** line);

 private:
  void EnterWorkDir();
  void StartUpkeep();
  std::shared_ptr<Provider> ProviderOf(const std::string& pluginPath);
  // Hands the device its settings, alarm recoveries and reports; a warning about its rule file.
  std::optional<std::string> ApplySettings(HostedDevice& hosted, const DeviceConfig& config);
  std::unique_ptr<HostedDevice> MakeDevice(const DeviceConfig& config,
                                           const std::shared_ptr<LineController>& line);

  const HostConfig& config_;
  // Declared first, so destroyed last: every device and provider is gone before its plug-in
  // is unloaded.
  std::map<std::string, std::unique_ptr<PluginLibrary>> libraries_;
  std::map<std::string, std::shared_ptr<Provider>> providers_;
  std::vector<std::string> startWarnings_;  // said once sinks are there (Restore)
  std::vector<std::shared_ptr<LineController>> lines_;
  std::vector<std::unique_ptr<LineStore>> stores_;  // one per line, in the same order
  // On the first line's thread, after its rounds: rolls up the rows of before rollups, then
  // prunes each level after its retention.
  std::unique_ptr<RollupBackfill> backfill_;
  std::unique_ptr<Retention> retention_;
};
