// SPDX-License-Identifier: Apache-2.0
#include "service/Host.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "commission/ChangeRecovery.h"
#include "commission/ConfigEdit.h"
#include "config/BoundedFile.h"
#include "line/DeviceRestore.h"
#include "line/SerialLine.h"
#include "service/RuleFileCheck.h"
#include "store/StoreConnection.h"

namespace {

// Puts the host's report settings of each signal into the device's map, the way a device
// expects to find them when it decides whether to report an analog value.
void ApplyReports(SMDVDevice& device, const std::map<std::string, ReportConfig>& reports) {
  for (const auto& [signal, report] : reports) {
    SMDVDevice::BAOSetting setting;
    setting.absEnable = report.absThreshold.has_value();
    setting.absThreshold = report.absThreshold.value_or(0.0f);
    setting.percentEnable = report.percentThreshold.has_value();
    setting.percentThreshold = report.percentThreshold.value_or(0.0f);
    setting.periodEnable = report.periodMinutes.has_value();
    setting.periodMinutes = report.periodMinutes.value_or(0.0f);
    device.BaoSettings()[signal] = setting;
  }
}

std::string DeviceName(uint32_t dataId) { return "device " + std::to_string(dataId); }

// Two devices at one address on one line would both take the one sensor's answers.
void CheckAddresses(LineController& line, std::size_t index, const std::string& path) {
  std::map<int, uint32_t> taken;  // address -> data id
  for (const auto& device : line.Devices()) {
    const auto [other, added] = taken.emplace(device->slave, device->dataId);
    if (added) continue;
    throw ConfigError("configuration " + path + ": lines[" + std::to_string(index) + "]: devices " +
                      std::to_string(other->second) + " and " + std::to_string(device->dataId) +
                      " both have slave address " + std::to_string(device->slave) +
                      "; each sensor on a line needs its own");
  }
}

}  // namespace

Host::Host(const HostConfig& config) : config_(config) {}

Host::~Host() {
  // Each store sink leaves its line first; devices go before their plug-ins are unloaded.
  stores_.clear();
  lines_.clear();
  providers_.clear();
}

void Host::EnterWorkDir() {
  if (chdir(config_.workDir.c_str()) != 0) {
    throw ConfigError("configuration " + config_.path + ": workDir: cannot enter " +
                      config_.workDir + ": " + std::strerror(errno));
  }
}

std::shared_ptr<Provider> Host::ProviderOf(const std::string& pluginPath) {
  if (auto known = providers_.find(pluginPath); known != providers_.end()) return known->second;
  try {
    auto library = std::make_unique<PluginLibrary>(pluginPath);
    const auto providers = library->Providers();
    if (providers.empty() || !providers.front()) {
      throw PluginError("plug-in " + pluginPath + " provides no device type");
    }
    libraries_[pluginPath] = std::move(library);
    return providers_[pluginPath] = providers.front();
  } catch (const PluginError&) {
    throw;
  } catch (const std::exception& error) {
    throw PluginError(error.what());
  }
}

std::unique_ptr<HostedDevice> Host::MakeDevice(const DeviceConfig& config,
                                               const std::shared_ptr<LineController>& line) {
  // dlopen would wait on a FIFO for ever.
  if (const auto problem = FileProblem(config.plugin, kPluginFileLimit)) {
    throw ConfigError("configuration " + config_.path + ": plug-in " + config.plugin + " " +
                      *problem);
  }
  auto hosted = std::make_unique<HostedDevice>();
  hosted->dataId = config.dataId;
  try {
    hosted->object.reset(ProviderOf(config.plugin)->create());
  } catch (const PluginError&) {
    throw;
  } catch (const std::exception& error) {
    throw PluginError("plug-in " + config.plugin + " could not create a device: " + error.what());
  }
  hosted->device = dynamic_cast<SMDVDevice*>(hosted->object.get());
  hosted->modbus = dynamic_cast<SPModbus*>(hosted->object.get());
  if (hosted->device == nullptr || hosted->modbus == nullptr) {
    throw PluginError("plug-in " + config.plugin + " does not make a Modbus-RTU device");
  }
  hosted->type = DeviceTypeNamed(hosted->object->DeviceType());
  try {
    hosted->device->Init(line, config.dataId, config.settings);
  } catch (const std::exception& error) {
    throw ConfigError(DeviceName(config.dataId) + ": settings rejected: " + error.what());
  }
  if (auto warning = ApplySettings(*hosted, config)) startWarnings_.push_back(std::move(*warning));
  hosted->slave = config.slaveAddress.value_or(hosted->modbus->SlaveAddress());
  return hosted;
}

std::optional<std::string> Host::ApplySettings(HostedDevice& hosted, const DeviceConfig& config) {
  auto warning =
      CheckRuleFile(config.dataId, hosted.device->DeviceType(), config.settings, config_.workDir);
  try {
    const int result = hosted.device->InitSetting(config.settings);
    if (result != 0) {
      throw ConfigError(DeviceName(config.dataId) + ": the device rejected its settings (" +
                        std::to_string(result) + ")");
    }
  } catch (const ConfigError&) {
    throw;
  } catch (const std::exception& error) {
    throw ConfigError(DeviceName(config.dataId) + ": settings rejected: " + error.what());
  }
  hosted.alarms.SetRules(AlarmRecoveries(config.settings));
  ApplyReports(*hosted.device, config.reports);
  return warning;
}

std::optional<std::string> Host::Reconfigure(const DeviceConfig& now, const DeviceConfig& before) {
  HostedDevice* hosted = Find(now.dataId, nullptr);
  if (hosted == nullptr) throw ConfigError(DeviceName(now.dataId) + ": not on this host");
  try {
    return ApplySettings(*hosted, now);
  } catch (const ConfigError&) {
    ApplySettings(*hosted, before);  // what it had, which it took before
    throw;
  }
}

void Host::RemoveSink(EventSink& sink) {
  for (auto& line : lines_) line->Events().Remove(sink);
}

void Host::Start(SerialLines serialLines, const std::function<void()>& beforeStore) {
  EnterWorkDir();
  for (const LineConfig& lineConfig : config_.lines) {
    auto line = std::make_shared<LineController>(lineConfig);
    lines_.push_back(line);
    for (const DeviceConfig& device : lineConfig.devices)
      line->Devices().Add(MakeDevice(device, line));
    CheckAddresses(*line, lines_.size() - 1, config_.path);
  }
  if (serialLines == SerialLines::kOpen) {
    for (auto& line : lines_) line->Port().Attach(std::make_unique<SerialLine>(line->Config()));
  }
  if (beforeStore) beforeStore();
  for (auto& line : lines_) stores_.push_back(std::make_unique<LineStore>(*line, config_.database));
  StartUpkeep();
}

void Host::StartUpkeep() {
  if (lines_.empty()) return;
  LineController* line = lines_.front().get();
  const auto store = [this] {
    auto store = std::make_unique<StoreConnection>(config_.database, false);
    // On the line's thread: it must not wait for another process's lock either, nor for a
    // checkpoint's sync of the database file, which can take hundreds of milliseconds on a
    // busy disk; the lines' own commits checkpoint, as they do without this work.
    store->SetBusyTimeout(LineStore::kWriteWaitMs);
    store->SetAutoCheckpoint(0);
    return store;
  };
  const auto notice = [line](const std::string& text) { line->Events().Emit(NoticeEvent{text}); };
  backfill_ = std::make_unique<RollupBackfill>(store(), notice);
  retention_ = std::make_unique<Retention>(
      store(),
      RetentionDays{config_.retentionDays, config_.minuteRetentionDays, config_.hourRetentionDays},
      notice, config_.trustUnsynchronisedClock);
  RollupBackfill* backfill = backfill_.get();
  Retention* retention = retention_.get();
  line->SetIdleWork([backfill, retention](std::chrono::steady_clock::time_point nextRound) {
    if (backfill->RunUntil(nextRound)) retention->RunUntil(nextRound);
  });
}

void Host::Restore() {
  for (const std::string& warning : startWarnings_) {
    if (!lines_.empty()) lines_.front()->Events().Emit(NoticeEvent{warning, LogLevel::kWarning});
  }
  startWarnings_.clear();
  RemoveStaleTemporaries(config_.path);
  for (auto& line : lines_) {
    if (line->Port().Attached()) ResolveInterruptedChanges(*line, config_);
  }
  for (std::size_t i = 0; i < lines_.size(); ++i)
    RestoreDevices(lines_[i]->Devices(), lines_[i]->Events(), stores_[i]->Restored());
}

std::map<std::string, AlarmEvent> Host::StoredAlarms(uint32_t dataId) {
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (lines_[i]->Devices().Find(dataId) != nullptr) return stores_[i]->LastAlarms(dataId);
  }
  return {};
}

std::vector<std::string> Host::StoreLosses() const {
  std::vector<std::string> losses;
  for (std::size_t i = 0; i < stores_.size(); ++i) {
    if (const auto text = stores_[i]->Sink().RunLosses()) {
      losses.push_back("line " + lines_[i]->Config().device + ": " + *text);
    }
  }
  return losses;
}

void Host::AddSink(EventSink& sink) {
  for (auto& line : lines_) line->Events().Add(sink);
}

HostedDevice* Host::Find(uint32_t dataId, LineController** lineOut) {
  for (auto& line : lines_) {
    for (auto& device : line->Devices()) {
      if (device->dataId != dataId) continue;
      if (lineOut != nullptr) *lineOut = line.get();
      return device.get();
    }
  }
  return nullptr;
}
