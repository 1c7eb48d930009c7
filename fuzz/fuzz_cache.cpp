// SPDX-License-Identifier: Apache-2.0
// LoadFromCache with any bytes. Only a blob of exactly the record's size is taken; it completes a
// cycle whose record is the blob with a fresh time stamp, evaluated in each configuration mode.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"

namespace {

using fuzz::Allowed;
using fuzz::Require;

Json::Value Limits(const char* id, const char* signal, const char* up, const char* low) {
  Json::Value rule(Json::objectValue);
  rule["ID"] = id;
  rule["SignalName"] = signal;
  rule["UpValue"] = up;
  rule["UpReconverValue"] = up;
  rule["UpAlarmLevel"] = 2;
  rule["Up2Value"] = up;
  rule["Up2ReconverValue"] = low;
  rule["Up2AlarmLevel"] = 3;
  rule["LowValue"] = low;
  rule["LowReconverValue"] = up;
  rule["LowAlarmLevel"] = 1;
  rule["Low2Value"] = low;
  rule["Low2ReconverValue"] = low;
  rule["Low2AlarmLevel"] = 4;
  return rule;
}

// Rules on every member of the status document, the two text members included (never
// evaluated: they are not numbers).
const Json::Value& ThresholdSettings() {
  static const Json::Value settings = [] {
    Json::Value root(Json::objectValue);
    root["appSetting"]["b_mode"] = 5;
    Json::Value& rules = root["thresholdSetting"];
    rules["a"] = Limits("T01", "温度", "30.1", "-5");
    rules["b"] = Limits("H01", "湿度", "80", "20.5");
    rules["c"] = Limits("P01", "气压", "1013.25", "990");
    rules["d"] = Limits("C01", "温度校准值", "1", "-1");
    rules["e"] = Limits("C02", "湿度校准值", "6553.5", "0");
    rules["f"] = Limits("C03", "气压校准值", "nan", "inf");
    rules["g"] = Limits("A01", "设备地址", "247", "1");
    rules["h"] = Limits("B01", "波特率", "3", "0");
    rules["i"] = Limits("U01", "更新时间", "1", "0");
    return root;
  }();
  return settings;
}

void ConfigureRuleSignals(DeviceProbe& device) {
  const char* names[] = {"温度",       "湿度",       "气压",    "温度校准值",
                         "湿度校准值", "气压校准值", "设备地址"};
  int index = 0;
  for (const char* name : names) {
    const std::string id = "0123456789A" + std::to_string(index++);
    device.aiSignalMap_[name] = {id, name};
    SMDVDevice::BAOSetting setting;
    setting.absEnable = index % 2 == 0;
    setting.absThreshold = 0.5f;
    setting.percentEnable = index % 3 == 0;
    setting.percentThreshold = 10.0f;
    setting.periodEnable = index % 4 == 0;
    setting.periodMinutes = 1.0f;
    // Half of them under the alarm identifier, which the check copies under the signal's own.
    std::string key = id;
    if (index % 2 == 1) key[3] = '6', key[8] = '1';
    device.baoSettings_[key] = setting;
  }
  device.aiSignalMap_["短"] = {"01234", "short identifier"};  // shorter than nine characters
  device.aiSignalMap_["缺失"] = {"", "not in the document"};
}

void CheckLoad(DeviceProbe& device, RecordingController& bus, const uint8_t* data, std::size_t size,
               bool asString) {
  const fuzz::RecordBytes before = fuzz::Bytes(device);
  bus.ClearCalls();
  int taken = 0;
  fuzz::Run("LoadFromCache", fuzz::Completion(fuzz::NamesTextMember(device)), [&] {
    taken = asString ? device.LoadFromCache(std::string(reinterpret_cast<const char*>(data), size))
                     : device.LoadFromCache(data, static_cast<int>(size));
  });
  const fuzz::RecordBytes after = fuzz::Bytes(device);
  if (size != fuzz::kRecordSize) {
    Require(taken == 0, "a blob of the wrong size was taken");
    Require(after == before, "a refused blob changed the record");
    Require(bus.Calls().empty(), "a refused blob reached the host");
    Require(!device.dataReady_.load(), "a refused blob made the data ready");
    return;
  }
  fuzz::RecordBytes expected;
  std::memcpy(expected.data(), data, size);
  Require(taken == 1, "a blob of the record's size was refused");
  Require(after == fuzz::StampOf(device, expected), "the record is not the stamped blob");
  const auto sent = bus.CallsOf("SendSP");
  const auto saved = bus.CallsOf("SaveDeviceHistory");
  Require(sent.size() == 1 && saved.size() == 1, "one SendSP and one history entry per load");
  Require(sent[0].args[0] == "5156" && sent[0].args[2] == "0", "SendSP code or flag");
  Require(sent[0].bytes.size() == fuzz::kRecordSize && saved[0].bytes.size() == fuzz::kRecordSize,
          "the record handed on is not whole");
  Require(std::memcmp(sent[0].bytes.data(), after.data(), after.size()) == 0 &&
              std::memcmp(saved[0].bytes.data(), after.data(), after.size()) == 0,
          "the record handed on differs from the device's");
  Require(device.ruleValues_.empty(), "the rule batch was not emptied");
  for (const auto& call : bus.CallsOf("CheckThresholdBool")) {
    const std::string& text = call.args[4];
    Require(text.empty() || text.rfind("当前值", 0) == 0, "alarm text " + text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const auto bus = std::make_shared<RecordingController>();

  auto thresholds = fuzz::NewDevice(bus);
  fuzz::Run("InitSetting", fuzz::Configuration(),
            [&] { thresholds->InitSetting(ThresholdSettings()); });
  CheckLoad(*thresholds, *bus, data, size, false);
  fuzz::CheckDevice(*thresholds);

  auto ruleFile = fuzz::NewDevice(bus);  // mode 1, rules set as a rule file would set them
  ConfigureRuleSignals(*ruleFile);
  CheckLoad(*ruleFile, *bus, data, size, false);
  fuzz::CheckDevice(*ruleFile);

  auto identity = fuzz::NewDevice(bus);
  identity->b_mode_ = 3;
  CheckLoad(*identity, *bus, data, size, true);
  fuzz::CheckDevice(*identity);
  return 0;
}
