// SPDX-License-Identifier: Apache-2.0
// Settings text parsed as JSON and given to InitSetting, as it stands and then once in every
// configuration mode. Checks the record's data id, the mode that was read and, in mode 5, the
// four threshold tables against a plain reading of the settings.
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>

#include "fuzz_support.h"

namespace {

using fuzz::Require;
using ThresholdMap = std::map<std::string, ThresholdRule>;

Json::Value Parse(const uint8_t* data, std::size_t size) {
  const char* begin = reinterpret_cast<const char*>(data);
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value settings;
  try {
    if (reader->parse(begin, begin + size, &settings, nullptr)) return settings;
  } catch (const Json::Exception&) {  // nesting beyond the reader's limit
  }
  return Json::Value(std::string(begin, size));  // text that is no JSON: a string document
}

// strtol's reading of a text, held in 32 bits: on the 32-bit controller long is 32 bits and
// strtol saturates, so a wider long must not wrap a huge mode or level into a small one.
int32_t ToInt32(const std::string& text) {
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// strtod's reading narrowed to single precision with IEEE rounding: beyond the largest float
// but below half a unit in its last place a value still rounds to the largest float.
float ToFloat(const std::string& text) {
  const double value = std::strtod(text.c_str(), nullptr);
  constexpr double kOverflow = 0x1.ffffffp127;
  const float largest = std::numeric_limits<float>::max();
  if (std::fabs(value) >= kOverflow) return value > 0 ? HUGE_VALF : -HUGE_VALF;
  if (std::fabs(value) > largest) return value > 0 ? largest : -largest;
  return static_cast<float>(value);
}

bool IsContainer(const Json::Value& value) { return value.isObject() || value.isArray(); }

const Json::Value& Member(const Json::Value& value, const char* key) {
  static const Json::Value null;
  return value.isObject() ? value[key] : null;
}

// The mode after InitSetting, or `previous` when the settings do not set it.
int32_t ExpectedMode(const Json::Value& settings, int32_t previous) {
  const Json::Value& app = Member(settings, "appSetting");
  const Json::Value& mode = Member(app, "b_mode");
  if (mode.isNull() || IsContainer(mode)) return previous;
  return ToInt32(mode.asString());
}

struct Limit {
  const char* value;
  const char* recover;
  const char* level;
  const char* code;
};
constexpr Limit kLimits[4] = {{"UpValue", "UpReconverValue", "UpAlarmLevel", "001"},
                              {"Up2Value", "Up2ReconverValue", "Up2AlarmLevel", "002"},
                              {"LowValue", "LowReconverValue", "LowAlarmLevel", "003"},
                              {"Low2Value", "Low2ReconverValue", "Low2AlarmLevel", "004"}};

// A plain reading of "thresholdSetting" in mode 5. Returns false when a text field is a container
// (the load then stops with the JSON library's error).
bool ExpectedThresholds(const Json::Value& settings, ThresholdMap (&tables)[4]) {
  const Json::Value& rules = Member(settings, "thresholdSetting");
  if (!rules.isObject()) return true;
  for (const auto& rule : rules) {
    if (!rule.isObject()) continue;
    std::string texts[2];
    bool usable = true;
    for (int i = 0; i < 2 && usable; ++i) {
      const Json::Value& field = rule[i == 0 ? "ID" : "SignalName"];
      if (IsContainer(field)) return false;
      texts[i] = field.asString();
      usable = !field.isNull() && !texts[i].empty();
    }
    if (!usable) continue;
    const std::string& id = texts[0];
    const std::string& signal = texts[1];
    for (int i = 0; i < 4; ++i) {
      const Limit& limit = kLimits[i];
      const Json::Value& value = rule[limit.value];
      const Json::Value& recover = rule[limit.recover];
      const Json::Value& level = rule[limit.level];
      if (value.isNull() || recover.isNull() || level.isNull()) continue;
      if (IsContainer(value) || IsContainer(recover) || IsContainer(level)) return false;
      const std::string valueText = value.asString();
      const std::string recoverText = recover.asString();
      const std::string levelText = level.asString();
      if (valueText.empty() || recoverText.empty() || levelText.empty()) continue;
      tables[i][signal] = ThresholdRule{id + limit.code, ToFloat(valueText), ToFloat(recoverText),
                                        false, ToInt32(levelText)};
    }
  }
  return true;
}

bool SameRule(const ThresholdRule& a, const ThresholdRule& b) {
  const auto sameFloat = [](float x, float y) {
    return std::memcmp(&x, &y, sizeof x) == 0 || (x != x && y != y);
  };
  return std::get<0>(a) == std::get<0>(b) && sameFloat(std::get<1>(a), std::get<1>(b)) &&
         sameFloat(std::get<2>(a), std::get<2>(b)) && std::get<3>(a) == std::get<3>(b) &&
         std::get<4>(a) == std::get<4>(b);
}

void CheckThresholds(const DeviceProbe& device, const ThresholdMap (&expected)[4]) {
  const ThresholdMap* actual[4] = {&device.upThresholdMap_, &device.up2ThresholdMap_,
                                   &device.lowThresholdMap_, &device.low2ThresholdMap_};
  for (int i = 0; i < 4; ++i) {
    Require(actual[i]->size() == expected[i].size(),
            std::string("threshold table ") + kLimits[i].code + " has " +
                std::to_string(actual[i]->size()) + " rules, expected " +
                std::to_string(expected[i].size()));
    for (const auto& entry : expected[i]) {
      const auto found = actual[i]->find(entry.first);
      Require(found != actual[i]->end() && SameRule(found->second, entry.second),
              std::string("threshold rule ") + kLimits[i].code + " for " + entry.first);
    }
  }
}

// Mode 3 joins three identity fields, each followed by ";", for every object member.
void CheckIdentityTables(const DeviceProbe& device, const Json::Value& settings) {
  const Json::Value& rules = Member(settings, "thresholdSetting");
  if (!rules.isObject()) return;
  for (const auto& name : rules.getMemberNames()) {
    if (!rules[name].isObject()) continue;
    const auto found = device.nmAlarmIdMap_.find(name);
    Require(found != device.nmAlarmIdMap_.end(), "no identity entry for " + name);
    Require(!found->second.empty() && found->second.back() == ';',
            "identity text " + found->second);
  }
}

void Configure(DeviceProbe& device, const Json::Value& settings) {
  const int32_t modeBefore = device.b_mode_;
  // Only mode 1 looks for a rule file; the private (empty) directory costs four system calls.
  const bool looksUp = ExpectedMode(settings, modeBefore) == 1;
  const bool completed = fuzz::Run("InitSetting", fuzz::Configuration(), [&] {
    if (!looksUp) return static_cast<void>(device.InitSetting(settings));
    fuzz::InWorkDir inWorkDir;
    device.InitSetting(settings);
  });
  Require(device.data_.dataId == fuzz::kDataId, "the record's data id is not DataId()");
  const fuzz::RecordBytes bytes = fuzz::Bytes(device);
  for (std::size_t i = 4; i < bytes.size(); ++i) Require(bytes[i] == 0, "InitSetting wrote data");
  if (!completed) return;
  Require(device.b_mode_ == ExpectedMode(settings, modeBefore),
          "b_mode_ is " + std::to_string(device.b_mode_));
  if (device.b_mode_ == 5) {
    ThresholdMap expected[4];
    Require(ExpectedThresholds(settings, expected), "a container text field was read as text");
    CheckThresholds(device, expected);
  } else if (device.b_mode_ == 3) {
    CheckIdentityTables(device, settings);
  }
  fuzz::CheckDevice(device);
}

// The settings with "appSetting"."b_mode" replaced; a document that is not an object is given
// as it is, since it cannot carry a mode.
Json::Value WithMode(const Json::Value& settings, const Json::Value& mode) {
  if (!settings.isObject()) return settings;
  Json::Value copy = settings;
  if (!copy["appSetting"].isObject()) copy["appSetting"] = Json::Value(Json::objectValue);
  copy["appSetting"]["b_mode"] = mode;
  return copy;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const auto bus = std::make_shared<RecordingController>();
  const Json::Value settings = Parse(data, size);
  auto device = fuzz::NewDevice(bus);
  Configure(*device, settings);
  for (const Json::Value& mode : {Json::Value(1), Json::Value("3"), Json::Value(5),
                                  Json::Value(" 5x"), Json::Value("auto"), Json::Value(2)}) {
    Configure(*device, WithMode(settings, mode));
  }
  bus->ClearCalls();
  return 0;
}
