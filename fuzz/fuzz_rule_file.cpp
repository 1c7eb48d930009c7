// SPDX-License-Identifier: Apache-2.0
// Rule-file text as the device's INI file, found by the real lookup under ./ini/ of a private
// working directory. The tables must be what a plain read of the same file gives, errors must be
// the parser's own, and a cycle completed with the loaded rules must evaluate each signal.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <boost/property_tree/ptree.hpp>

#include "fuzz_support.h"

namespace {

using fuzz::Require;
using AiMap = std::map<std::string, std::pair<std::string, std::string>>;
using AlarmMap = std::map<std::string, std::string>;

// The lookup's candidates, in its order; the first byte of the input picks the one written.
const char* const kCandidates[8] = {"ini/12.yaml",
                                    "ini/12.ini",
                                    "ini/do3008ra.yaml",
                                    "ini/do3008ra.ini",
                                    "ini/vizova/12.yaml",
                                    "ini/vizova/12.ini",
                                    "ini/vizova/do3008ra.yaml",
                                    "ini/vizova/do3008ra.ini"};

enum class Outcome { kLoaded, kParseError, kNoAi, kNoAlarm, kNotRead };

std::string UpToComma(const std::string& text) { return text.substr(0, text.find(',')); }

// A plain read of the file: what the tables must gain, and where the load must stop.
Outcome Expected(const std::string& path, AiMap& ai, AlarmMap& alarm) {
  if (path.size() > 5 && path.compare(path.size() - 5, 5, ".yaml") == 0) return Outcome::kNotRead;
  boost::property_tree::ptree tree;
  try {
    boost::property_tree::ini_parser::read_ini(path, tree);
  } catch (const boost::property_tree::ini_parser_error&) {
    return Outcome::kParseError;
  }
  const auto aiSection = tree.get_child_optional("AI");
  if (!aiSection) return Outcome::kNoAi;
  for (const auto& entry : *aiSection) {
    const std::string& value = entry.second.data();
    const auto comma = value.find(',');
    ai[entry.first] = comma == std::string::npos
                          ? std::make_pair(value, value)
                          : std::make_pair(value.substr(0, comma), value.substr(comma + 1));
  }
  const auto alarmSection = tree.get_child_optional("ALARM");
  if (!alarmSection) return Outcome::kNoAlarm;
  for (const auto& entry : *alarmSection) alarm[entry.first] = UpToComma(entry.second.data());
  return Outcome::kLoaded;
}

Outcome Load(DeviceProbe& device) {
  try {
    fuzz::InWorkDir inWorkDir;
    device.InitSetting(Json::Value(Json::objectValue));
    return Outcome::kLoaded;
  } catch (const boost::property_tree::ini_parser_error&) {
    return Outcome::kParseError;
  } catch (const boost::property_tree::ptree_bad_path& error) {
    const bool ai = std::string(error.what()).find("(AI)") != std::string::npos;
    return ai ? Outcome::kNoAi : Outcome::kNoAlarm;
  } catch (const std::exception& error) {
    fuzz::Unexpected("InitSetting", error);
  }
}

std::string AlarmIdOf(std::string signalId) {
  if (signalId.size() > 3) signalId[3] = '6';
  if (signalId.size() > 8) signalId[8] = '1';
  return signalId;
}

const char* const kNumberMembers[] = {"湿度",       "温度",       "气压",    "温度校准值",
                                      "湿度校准值", "气压校准值", "设备地址"};

bool IsNumberMember(const std::string& name) {
  for (const char* member : kNumberMembers) {
    if (name == member) return true;
  }
  return false;
}

// Completes one cycle with the loaded rules; each signal that names a number of the status
// document is checked once, in key order, under its derived alarm identifier.
void CompleteCycle(DeviceProbe& device, RecordingController& bus) {
  for (const auto& entry : device.aiSignalMap_) {
    SMDVDevice::BAOSetting setting;
    setting.absEnable = setting.percentEnable = setting.periodEnable = true;
    setting.periodMinutes = 1.0f;
    device.baoSettings_[AlarmIdOf(entry.second.first)] = setting;
  }
  unsigned char blob[fuzz::kRecordSize] = {12, 0, 0, 0};
  for (std::size_t i = 4; i < sizeof blob; ++i) blob[i] = static_cast<unsigned char>(i * 37);
  bus.ClearCalls();
  const bool completed =
      fuzz::Run("LoadFromCache", fuzz::Completion(fuzz::NamesTextMember(device)),
                [&] { device.LoadFromCache(blob, static_cast<int>(sizeof blob)); });
  if (!completed) return;
  std::vector<std::string> expected;
  for (const auto& entry : device.aiSignalMap_) {
    if (!IsNumberMember(entry.first)) continue;
    expected.push_back(AlarmIdOf(entry.second.first) + "|" + entry.second.second);
  }
  std::vector<std::string> checked;
  for (const auto& call : bus.CallsOf("CheckThreshold")) {
    Require(call.args[3] == "1", "CheckThreshold kind " + call.args[3]);
    checked.push_back(call.args[0] + "|" + call.args[1]);
  }
  Require(checked == expected, "the signals checked are not the rule file's");
  Require(bus.CallsOf("CheckAOReport").size() <= expected.size(), "more reports than signals");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::SilenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const auto bus = std::make_shared<RecordingController>();
  if (size == 0) return 0;
  // Mostly ".ini" files: a ".yaml" candidate is found but never read.
  const char* candidate = kCandidates[(data[0] & 7) == 0 ? 0 : ((data[0] & 7) | 1)];
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
  const fuzz::WorkDir& dir = fuzz::WorkDir::Instance();
  dir.WriteFile(candidate, text);

  auto device = fuzz::NewDevice(bus);
  AiMap ai;
  AlarmMap alarm;
  const Outcome expected = Expected(dir.Path() + "/" + candidate, ai, alarm);
  const Outcome outcome = Load(*device);
  dir.RemoveFile(candidate);

  const Outcome wanted = expected == Outcome::kNotRead ? Outcome::kLoaded : expected;
  Require(outcome == wanted, "the load ended differently from a plain read of the file");
  Require(device->aiSignalMap_ == ai, "aiSignalMap_ differs from the file's AI section");
  Require(device->alarmSignalIdMap_ == alarm, "alarmSignalIdMap_ differs from the ALARM section");
  fuzz::CheckDevice(*device);
  if (outcome == Outcome::kLoaded) CompleteCycle(*device, *bus);
  fuzz::CheckDevice(*device);
  return 0;
}
