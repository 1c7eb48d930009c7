// SPDX-License-Identifier: Apache-2.0
// The configuration step: data id stamp, mode, rule-file lookup and the host's step last.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <exception>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "support/CapturedOutput.h"
#include "support/DeviceProbe.h"
#include "support/JsonText.h"
#include "support/ScratchDirectory.h"

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;
using ::testing::StartsWith;
using AiEntry = std::pair<std::string, std::string>;

constexpr char kNotFound[] =
    "data_id:12 model:do3008ra b ini not found\nparse ini/yaml filename:\n";
// The host step takes this slave address, so a test can tell whether it ran.
constexpr char kBus[] = R"("busSetting": {"slaveAddress": 7})";
constexpr char kRules[] = "[AI]\n温度 = sig-01-tmp,Temperature\n[ALARM]\n温度 = alm,x\n";

class Settings : public ::testing::Test {
 protected:
  // Runs InitSetting; returns its output, and its result in `result`.
  std::string ConfigureDocument(const Json::Value& settings, int* result = nullptr) {
    return CapturedOutput([&] {
      const int value = device.InitSetting(settings);
      if (result != nullptr) *result = value;
    });
  }
  std::string Configure(const std::string& json, int* result = nullptr) {
    return ConfigureDocument(ParseJson(json), result);
  }
  static std::string WithMode(const std::string& mode, const std::string& more = "") {
    return R"({"appSetting": {"b_mode": )" + mode + "}" + (more.empty() ? "" : ", " + more) + "}";
  }
  bool HostStepRan() const { return device.SlaveAddress() == 7; }

  ScratchDirectory scratch{true};  // ./ini/ lookups see only this test's files
  AttachedDevice attached{12};
  DeviceProbe& device = attached.device;
};

TEST_F(Settings, EmptySettingsKeepModeOneAndReportNoRuleFile) {
  int result = -5;
  EXPECT_EQ(Configure(std::string("{") + kBus + "}", &result), kNotFound);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(device.b_mode_, 1);
  EXPECT_TRUE(HostStepRan());
  const auto record = device.Record();
  EXPECT_THAT(std::vector<unsigned char>(record.begin(), record.begin() + 4),
              ElementsAre(12, 0, 0, 0));
}

TEST_F(Settings, UnusableAppSettingLeavesTheModeAlone) {
  device.b_mode_ = 5;  // as an earlier call may have left it
  for (const char* app : {R"("text")", "3", "[3]", "null", "{}", R"({"b_mode": null})",
                          R"({"b_mode": {"v": 3}})", R"({"b_mode": [3]})"}) {
    EXPECT_EQ(Configure(std::string(R"({"appSetting": )") + app + "}"), "") << app;
    EXPECT_EQ(device.b_mode_, 5) << app;
  }
}

TEST_F(Settings, ModeTextConvertsLikeStrtolBaseTen) {
  const std::vector<std::pair<std::string, int>> cases = {
      {R"("5")", 5},
      {"5", 5},
      {R"("  3")", 3},
      {R"("3abc")", 3},
      {R"("a3")", 0},
      {R"("")", 0},
      {R"("-2")", -2},
      {"2.9", 2},
      {"true", 0},
      {R"("+4")", 4},
      // Always decimal: a leading zero does not make octal, nor "0x" hexadecimal.
      {R"("08")", 8},
      {R"("010")", 10},
      {R"("0x5")", 0},
      {R"("99999999999")", std::numeric_limits<int>::max()},
      {"4294967297", std::numeric_limits<int>::max()}};
  for (const auto& [text, mode] : cases) {
    device.b_mode_ = 1;
    const std::string output = Configure(WithMode(text));
    EXPECT_EQ(device.b_mode_, mode) << text;
    EXPECT_THAT(output, StartsWith("InitSetting 12 b_mode_:" + std::to_string(mode) + "\n"))
        << text;
  }
}

TEST_F(Settings, ModesWithoutRulesOnlyRunTheHostStep) {
  scratch.Write("ini/12.ini", kRules);
  for (const char* mode : {"2", "4", "0", R"("auto")"}) {
    const std::string output = Configure(WithMode(mode, kBus));
    EXPECT_EQ(output, "InitSetting 12 b_mode_:" + std::to_string(device.b_mode_) + "\n");
    EXPECT_TRUE(HostStepRan());
  }
  EXPECT_TRUE(device.aiSignalMap_.empty());
}

TEST_F(Settings, ModesThreeAndFiveLoadFromTheSettings) {
  const std::string rules =
      R"("thresholdSetting": {"m": {"ID": "T", "SignalName": "s", "UpValue": 1,
          "UpReconverValue": 1, "UpAlarmLevel": 1}}, )" +
      std::string(kBus);
  Configure(WithMode(R"("5")", rules));
  EXPECT_EQ(device.upThresholdMap_.size(), 1u);
  EXPECT_TRUE(HostStepRan());
  const std::string output = Configure(WithMode("3", rules));
  EXPECT_THAT(output, StartsWith("InitSetting 12 b_mode_:3\nhere 1\nhere 2\nhere m\n"));
  EXPECT_THAT(device.nmAlarmIdMap_, ElementsAre(Pair("m", ";T;;")));
  // Mode 5 tables stay as they were when another mode loads.
  EXPECT_EQ(device.upThresholdMap_.size(), 1u);
}

TEST_F(Settings, CandidatesAreTriedInOrder) {
  const std::vector<std::string> candidates = {"./ini/12.yaml",
                                               "./ini/12.ini",
                                               "./ini/do3008ra.yaml",
                                               "./ini/do3008ra.ini",
                                               "./ini/vizova/12.yaml",
                                               "./ini/vizova/12.ini",
                                               "./ini/vizova/do3008ra.yaml",
                                               "./ini/vizova/do3008ra.ini"};
  scratch.MakeDirectory("ini/vizova");
  EXPECT_EQ(device.FindRuleFile(), "");
  // Adding the candidates from the last to the first, each new one is the one found.
  for (auto it = candidates.rbegin(); it != candidates.rend(); ++it) {
    scratch.Write(*it, kRules);
    EXPECT_EQ(device.FindRuleFile(), *it);
  }
}

TEST_F(Settings, StemIsTheDataIdInPlainDecimal) {
  AttachedDevice big(4294967295u);
  scratch.Write("ini/4294967295.ini", kRules);
  EXPECT_EQ(big.device.FindRuleFile(), "./ini/4294967295.ini");
}

TEST_F(Settings, EighthCandidateIsFoundAndLoaded) {
  scratch.Write("ini/vizova/do3008ra.ini",
                "[AI]\nb = sig-b,B\na = sig-a,A\n[ALARM]\nb = alm-b,x\n");
  int result = -5;
  EXPECT_EQ(Configure(std::string("{") + kBus + "}", &result),
            "parse ini/yaml filename:./ini/vizova/do3008ra.ini\n"
            "alarmSignalIdMap_ b : alm-b\n"
            "AI 12\n"
            "first:a second:sig-a name:A\n"
            "first:b second:sig-b name:B\n");
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(HostStepRan());
}

TEST_F(Settings, YamlCandidateHidesTheIniAndLoadsNothing) {
  scratch.Write("ini/12.yaml", "AI: {}\n");
  scratch.Write("ini/12.ini", kRules);
  device.aiSignalMap_["kept"] = AiEntry("sig-kept", "K");  // from an earlier load
  EXPECT_EQ(Configure(std::string("{") + kBus + "}"),
            "parse ini/yaml filename:./ini/12.yaml\nAI 12\nfirst:kept second:sig-kept name:K\n");
  EXPECT_EQ(device.aiSignalMap_.size(), 1u);
  EXPECT_TRUE(device.alarmSignalIdMap_.empty());
  EXPECT_TRUE(HostStepRan());
}

TEST_F(Settings, DirectoryNamedLikeACandidateStopsTheSearch) {
  scratch.Write("ini/vizova/do3008ra.ini", kRules);
  scratch.MakeDirectory("ini/12.yaml");
  EXPECT_EQ(Configure("{}"), "parse ini/yaml filename:./ini/12.yaml\nAI 12\n");
  // A directory with an ".ini" name is chosen too; reading it fails like an unreadable file.
  std::filesystem::remove("ini/12.yaml");
  scratch.MakeDirectory("ini/do3008ra.ini");
  EXPECT_THROW(Configure("{}"), boost::property_tree::ini_parser_error);
  EXPECT_TRUE(device.aiSignalMap_.empty());
}

TEST_F(Settings, RuleFileErrorsLeaveBeforeTheHostStep) {
  scratch.Write("ini/12.ini", "[AI]\nA = a,b\n");
  const std::string settings = WithMode("1", kBus);
  try {
    Configure(settings);
    FAIL() << "no error for a rule file without ALARM";
  } catch (const boost::property_tree::ptree_bad_path& error) {
    EXPECT_STREQ(error.what(), "No such node (ALARM)");
  }
  EXPECT_FALSE(HostStepRan());
  EXPECT_EQ(device.data_.dataId, 12u);
  EXPECT_THAT(device.aiSignalMap_, ElementsAre(Pair("A", AiEntry("a", "b"))));

  scratch.Write("ini/12.ini", "[AI\n");
  EXPECT_THROW(Configure(settings), boost::property_tree::ini_parser_error);
  EXPECT_FALSE(HostStepRan());
}

TEST_F(Settings, JsonErrorsInModeFiveLeaveBeforeTheHostStep) {
  const std::string settings = WithMode(
      "5", R"("thresholdSetting": {"m": {"ID": {}, "SignalName": "s"}}, )" + std::string(kBus));
  EXPECT_THROW(Configure(settings), Json::LogicError);
  EXPECT_EQ(device.b_mode_, 5);
  EXPECT_FALSE(HostStepRan());
}

TEST_F(Settings, SettingsThatAreNoObjectAreTreatedAsEmpty) {
  for (const Json::Value& settings : {Json::Value(), Json::Value("text"), Json::Value(5),
                                      Json::Value(Json::arrayValue), Json::Value(true)}) {
    int result = -5;
    EXPECT_EQ(ConfigureDocument(settings, &result), kNotFound);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(device.b_mode_, 1);
  }
}

TEST_F(Settings, HostStepResultIsReturned) {
  int result = 0;
  Configure(WithMode("2", R"("busSetting": {"baudRate": 12345})"), &result);
  EXPECT_EQ(result, -1);
}

}  // namespace
