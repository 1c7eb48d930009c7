// SPDX-License-Identifier: Apache-2.0
#include "support/Workload.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>

namespace workload {

const char* Name(Setup setup) {
  switch (setup) {
    case Setup::kMode0:
      return "mode 0";
    case Setup::kMode1Rules3:
      return "mode 1, 3 signals";
    case Setup::kMode5Rules12:
      return "mode 5, 12 rules";
  }
  return "?";
}

void FillSensorRegisters(RecordingController& bus) {
  const uint16_t measured[4] = {456, 234, 0, 10130};
  const uint16_t calibration[3] = {0, 0, 0};
  const uint16_t busSettings[2] = {1, 2};
  for (uint16_t i = 0; i < 4; ++i) {
    bus.SetHolding(i, measured[i]);
    bus.SetInput(i, measured[i]);
  }
  for (uint16_t i = 0; i < 3; ++i) {
    bus.SetHolding(80 + i, calibration[i]);
    bus.SetInput(80 + i, calibration[i]);
  }
  for (uint16_t i = 0; i < 2; ++i) {
    bus.SetHolding(2000 + i, busSettings[i]);
    bus.SetInput(2000 + i, busSettings[i]);
  }
}

Json::Value ModeSettings(int mode) {
  Json::Value settings(Json::objectValue);
  settings["appSetting"]["b_mode"] = std::to_string(mode);
  return settings;
}

namespace {

struct Limit {
  const char* prefix;  // "Up", "Up2", "Low", "Low2"
  double value;
  double recover;
  int level;
};

Json::Value ThresholdMember(const std::string& id, const std::string& signal,
                            const std::vector<Limit>& limits) {
  Json::Value member(Json::objectValue);
  member["ID"] = id;
  member["SignalName"] = signal;
  for (const auto& limit : limits) {
    const std::string prefix = limit.prefix;
    member[prefix + "Value"] = limit.value;
    member[prefix + "ReconverValue"] = limit.recover;
    member[prefix + "AlarmLevel"] = limit.level;
  }
  return member;
}

}  // namespace

Json::Value TwelveRuleSettings() {
  Json::Value settings = ModeSettings(5);
  Json::Value& rules = settings["thresholdSetting"];
  // 23.4 degrees lies above the second upper limit 20; 45.6 %RH below the first lower limit 50.
  rules["temperature"] = ThresholdMember(
      "T01", "温度",
      {{"Up", 30, 28, 2}, {"Up2", 20, 18, 3}, {"Low", 5, 7, 2}, {"Low2", -10, -8, 3}});
  rules["humidity"] = ThresholdMember(
      "H01", "湿度",
      {{"Up", 80, 75, 2}, {"Up2", 90, 85, 3}, {"Low", 50, 55, 2}, {"Low2", 20, 25, 3}});
  rules["pressure"] = ThresholdMember(
      "P01", "气压",
      {{"Up", 1050, 1045, 2}, {"Up2", 1100, 1090, 3}, {"Low", 950, 955, 2}, {"Low2", 900, 910, 3}});
  return settings;
}

Json::Value ManyThresholdMembers(int members) {
  Json::Value settings = ModeSettings(5);
  Json::Value& rules = settings["thresholdSetting"];
  for (int i = 0; i < members; ++i) {
    const std::string n = std::to_string(1000 + i);
    rules["member" + n] = ThresholdMember(
        "S" + n, "signal" + n,
        {{"Up", 30, 28, 2}, {"Up2", 40, 38, 3}, {"Low", 5, 7, 2}, {"Low2", -10, -8, 3}});
  }
  return settings;
}

std::string ThreeSignalRuleFile() {
  return "; DO3008RA sensor 12\n"
         "[AI]\n"
         "温度 = 010100100101,Temperature\n"
         "湿度 = 010200100101,Humidity\n"
         "气压 = 010300100101,Air pressure\n"
         "[ALARM]\n"
         "温度 = 010600110101,high temperature\n"
         "湿度 = 020600110101,high humidity\n"
         "气压 = 030600110101,low pressure\n";
}

std::string RuleFileWithKeys(int aiKeys, int alarmKeys) {
  std::string text = "[AI]\n";
  for (int i = 0; i < aiKeys; ++i) {
    const std::string n = std::to_string(100000 + i);
    text += "signal" + n + " = 0101" + n + "01,Signal " + n + "\n";
  }
  text += "[ALARM]\n";
  for (int i = 0; i < alarmKeys; ++i) {
    const std::string n = std::to_string(100000 + i);
    text += "alarm" + n + " = 0106" + n + "11,alarm " + n + "\n";
  }
  return text;
}

ScratchDirectory::ScratchDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "do3008ra-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  std::filesystem::create_directory(path_ + "/ini");
}

ScratchDirectory::~ScratchDirectory() {
  Leave();
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void ScratchDirectory::WriteRuleFile(const std::string& name, const std::string& text) const {
  std::ofstream(path_ + "/ini/" + name, std::ios::binary) << text;
}

void ScratchDirectory::Enter() {
  if (!previous_.empty()) return;
  previous_ = std::filesystem::current_path().string();
  std::filesystem::current_path(path_);
}

void ScratchDirectory::Leave() {
  if (previous_.empty()) return;
  std::filesystem::current_path(previous_);
  previous_.clear();
}

QuietStdout::QuietStdout() : previous_(std::cout.rdbuf(&discard_)) {}
QuietStdout::~QuietStdout() { std::cout.rdbuf(previous_); }

namespace {

// Report settings of the three rule-file signals: 0.5 absolute change or every 5 minutes.
void AddReportSettings(DeviceProbe& device) {
  SMDVDevice::BAOSetting setting;
  setting.absEnable = true;
  setting.absThreshold = 0.5f;
  setting.periodEnable = true;
  setting.periodMinutes = 5.0f;
  for (const char* id : {"010100100101", "010200100101", "010300100101"}) {
    device.baoSettings_[id] = setting;
  }
}

}  // namespace

void Configure(DeviceProbe& device, Setup setup, ScratchDirectory& scratch) {
  QuietStdout quiet;
  switch (setup) {
    case Setup::kMode0:
      device.InitSetting(ModeSettings(0));
      break;
    case Setup::kMode1Rules3:
      scratch.WriteRuleFile(std::to_string(device.DataId()) + ".ini", ThreeSignalRuleFile());
      scratch.Enter();
      device.InitSetting(ModeSettings(1));
      scratch.Leave();
      AddReportSettings(device);
      break;
    case Setup::kMode5Rules12:
      device.InitSetting(TwelveRuleSettings());
      break;
  }
}

void RunCycle(DeviceProbe& device, RecordingController& bus) {
  device.jsonTime_ = boost::posix_time::ptime();
  device.RefreshStatus();
  bus.RunAll();
}

namespace {

std::size_t Count(const RecordingController& bus, const std::string& operation) {
  std::size_t n = 0;
  for (const auto& call : bus.Calls()) n += call.operation == operation;
  return n;
}

}  // namespace

std::string VerifyCycle(DeviceProbe& device, RecordingController& bus, Setup setup) {
  bus.ClearCalls();
  bus.SetRecording(true);
  {
    QuietStdout quiet;
    RunCycle(device, bus);
  }
  bus.SetRecording(false);
  std::string missing;
  if (Count(bus, "Request") != 6) missing += "six requests; ";
  if (Count(bus, "SendSP") != 1) missing += "SendSP; ";
  if (Count(bus, "SaveDeviceHistory") != 1) missing += "SaveDeviceHistory; ";
  if (setup == Setup::kMode1Rules3 && Count(bus, "CheckThreshold") != 3) {
    missing += "three CheckThreshold calls; ";
  }
  if (setup == Setup::kMode5Rules12 && Count(bus, "CheckThresholdBool") != 12) {
    missing += "twelve CheckThresholdBool calls; ";
  }
  bus.ClearCalls();
  return missing.empty() ? "" : "cycle incomplete, missing: " + missing;
}

std::string VerifyPollAnswers(DeviceProbe& device, RecordingController& bus) {
  device.RefreshStatus();
  const ModbusRequest* first = bus.NextRequest();
  if (device.step_ != 11 || first == nullptr || first->function != ModbusRequest::kReadHolding ||
      first->address != 0 || first->count != 4) {
    return "RefreshStatus does not start the cycle with holding 0/4";
  }
  for (int step = 12; step <= 16; ++step) {
    bus.RunNext();
    if (device.step_ != step || bus.PendingRequests() != 1) {
      return "answer of step " + std::to_string(step - 1) + " does not queue the next request";
    }
  }
  {
    QuietStdout quiet;
    bus.RunAll();
  }
  if (device.data_.holdingMeasure[1] != 234 || device.data_.inputBus[1] != 2) {
    return "answers are not copied into the record";
  }
  return "";
}

Rig::Rig(Setup setup) {
  device.Init(bus, kDataId, Json::Value(Json::objectValue));
  FillSensorRegisters(*bus);
  bus->SetRecording(false);
  Configure(device, setup, scratch);
}

}  // namespace workload
