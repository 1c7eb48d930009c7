// SPDX-License-Identifier: Apache-2.0
// Threshold rules from "thresholdSetting": the four tables, the skip rules and the conversions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "support/CapturedOutput.h"
#include "support/DeviceProbe.h"
#include "support/JsonText.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

Json::Value WithRules(const std::string& members) {
  return ParseJson(R"({"thresholdSetting": {)" + members + "}}");
}

class ThresholdRules : public ::testing::Test {
 protected:
  // Loads and returns what the load printed, which must be nothing.
  std::string Load(const Json::Value& settings) {
    return CapturedOutput([&] { device.LoadThresholdRules(settings); });
  }
  bool AllEmpty() const {
    return device.upThresholdMap_.empty() && device.up2ThresholdMap_.empty() &&
           device.lowThresholdMap_.empty() && device.low2ThresholdMap_.empty();
  }
  void Prefill() {
    for (auto* table : {&device.upThresholdMap_, &device.up2ThresholdMap_, &device.lowThresholdMap_,
                        &device.low2ThresholdMap_}) {
      (*table)["old"] = ThresholdRule("X001", 1.0f, 1.0f, true, 1);
    }
  }

  DeviceProbe device;
};

TEST_F(ThresholdRules, ExampleMemberYieldsUpperAndLowerRules) {
  const std::string output = Load(WithRules(R"("any": {"ID": "T01", "SignalName": "温度",
      "UpValue": 35, "UpReconverValue": 33, "UpAlarmLevel": 2,
      "LowValue": -5, "LowReconverValue": -3, "LowAlarmLevel": 1})"));
  EXPECT_THAT(device.upThresholdMap_,
              ElementsAre(Pair("温度", ThresholdRule("T01001", 35.0f, 33.0f, false, 2))));
  EXPECT_THAT(device.lowThresholdMap_,
              ElementsAre(Pair("温度", ThresholdRule("T01003", -5.0f, -3.0f, false, 1))));
  EXPECT_THAT(device.up2ThresholdMap_, IsEmpty());
  EXPECT_THAT(device.low2ThresholdMap_, IsEmpty());
  EXPECT_EQ(output, "");
}

TEST_F(ThresholdRules, EveryLimitHasItsTableAndLevelCode) {
  Load(WithRules(R"("m": {"ID": 7, "SignalName": "s",
      "UpValue": "1", "UpReconverValue": "1", "UpAlarmLevel": "1",
      "Up2Value": "2", "Up2ReconverValue": "2", "Up2AlarmLevel": "2",
      "LowValue": "3", "LowReconverValue": "3", "LowAlarmLevel": "3",
      "Low2Value": "4", "Low2ReconverValue": "4", "Low2AlarmLevel": "4"})"));
  EXPECT_EQ(device.upThresholdMap_.at("s"), ThresholdRule("7001", 1.0f, 1.0f, false, 1));
  EXPECT_EQ(device.up2ThresholdMap_.at("s"), ThresholdRule("7002", 2.0f, 2.0f, false, 2));
  EXPECT_EQ(device.lowThresholdMap_.at("s"), ThresholdRule("7003", 3.0f, 3.0f, false, 3));
  EXPECT_EQ(device.low2ThresholdMap_.at("s"), ThresholdRule("7004", 4.0f, 4.0f, false, 4));
}

TEST_F(ThresholdRules, EveryLoadStartsFromEmptyTables) {
  for (const char* settings : {R"({})", R"({"thresholdSetting": null})",
                               R"({"thresholdSetting": []})", R"({"thresholdSetting": [{}]})",
                               R"({"thresholdSetting": "x"})", R"([1, 2])", R"("text")"}) {
    Prefill();
    EXPECT_NO_THROW(Load(ParseJson(settings))) << settings;
    EXPECT_TRUE(AllEmpty()) << settings;
  }
}

TEST_F(ThresholdRules, MembersWithoutIdOrSignalNameAreSkippedSilently) {
  const std::string output = Load(WithRules(R"(
      "a": {"SignalName": "s", "UpValue": 1, "UpReconverValue": 1, "UpAlarmLevel": 1},
      "b": {"ID": "", "SignalName": "s", "UpValue": 1, "UpReconverValue": 1, "UpAlarmLevel": 1},
      "c": {"ID": null, "SignalName": "s", "UpValue": 1, "UpReconverValue": 1, "UpAlarmLevel": 1},
      "d": {"ID": "T", "UpValue": 1, "UpReconverValue": 1, "UpAlarmLevel": 1},
      "e": {"ID": "T", "SignalName": "", "UpValue": 1, "UpReconverValue": 1, "UpAlarmLevel": 1},
      "f": 5, "g": [1], "h": "text")"));
  EXPECT_TRUE(AllEmpty());
  EXPECT_EQ(output, "");
}

TEST_F(ThresholdRules, LimitWithMissingNullOrEmptyKeyIsSkippedAlone) {
  Load(WithRules(R"(
      "a": {"ID": "A", "SignalName": "only-up", "UpValue": 1, "UpReconverValue": 1, "UpAlarmLevel": 1},
      "b": {"ID": "B", "SignalName": "gaps", "UpValue": "", "UpReconverValue": 1, "UpAlarmLevel": 1,
            "Up2Value": 2, "Up2ReconverValue": null, "Up2AlarmLevel": 2,
            "LowValue": 3, "LowReconverValue": 3,
            "Low2Value": 4, "Low2ReconverValue": 4, "Low2AlarmLevel": 4})"));
  EXPECT_THAT(device.upThresholdMap_,
              ElementsAre(Pair("only-up", ThresholdRule("A001", 1.0f, 1.0f, false, 1))));
  EXPECT_THAT(device.up2ThresholdMap_, IsEmpty());
  EXPECT_THAT(device.lowThresholdMap_, IsEmpty());
  EXPECT_THAT(device.low2ThresholdMap_,
              ElementsAre(Pair("gaps", ThresholdRule("B004", 4.0f, 4.0f, false, 4))));
}

TEST_F(ThresholdRules, TextsConvertLikeStrtodAndStrtol) {
  const auto up = [this](const std::string& value, const std::string& level) {
    Load(WithRules(R"("m": {"ID": "I", "SignalName": "s", "UpValue": )" + value +
                   R"(, "UpReconverValue": "1.5", "UpAlarmLevel": )" + level + "}"));
    return device.upThresholdMap_.at("s");
  };
  EXPECT_EQ(up(R"("word")", "2.7"), ThresholdRule("I001", 0.0f, 1.5f, false, 2));
  EXPECT_EQ(up(R"("  23.4abc")", R"("2.7")"), ThresholdRule("I001", 23.4f, 1.5f, false, 2));
  EXPECT_EQ(up("true", R"("-3x")"), ThresholdRule("I001", 0.0f, 1.5f, false, -3));
  EXPECT_EQ(up(R"("1e39")", R"("x9")"),
            ThresholdRule("I001", std::numeric_limits<float>::infinity(), 1.5f, false, 0));
  // Levels are always decimal: a leading zero does not make octal, nor "0x" hexadecimal.
  EXPECT_EQ(std::get<4>(up("1", R"("010")")), 10);
  EXPECT_EQ(std::get<4>(up("1", R"("08")")), 8);
  EXPECT_EQ(std::get<4>(up("1", R"("0x5")")), 0);
  // Levels beyond 32 bits saturate as they do on the 32-bit controller.
  EXPECT_EQ(std::get<4>(up("1", R"("99999999999")")), std::numeric_limits<int>::max());
  EXPECT_EQ(std::get<4>(up("1", R"("-99999999999")")), std::numeric_limits<int>::min());
  EXPECT_EQ(std::get<1>(up(R"("-1e39")", "1")), -std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(std::get<1>(up(R"("nan")", "1"))));
}

TEST_F(ThresholdRules, LastMemberPassingALimitsChecksWins) {
  Load(WithRules(R"(
      "a": {"ID": "A", "SignalName": "s", "UpValue": 1, "UpReconverValue": 1, "UpAlarmLevel": 1,
            "LowValue": 1, "LowReconverValue": 1, "LowAlarmLevel": 1},
      "b": {"ID": "B", "SignalName": "s", "UpValue": 2, "UpReconverValue": 2, "UpAlarmLevel": 2,
            "LowValue": "", "LowReconverValue": 2, "LowAlarmLevel": 2})"));
  EXPECT_EQ(std::get<0>(device.upThresholdMap_.at("s")), "B001");
  EXPECT_EQ(std::get<0>(device.lowThresholdMap_.at("s")), "A003");
}

TEST_F(ThresholdRules, BuildingReplacesAllFiveElements) {
  DeviceProbe::ThresholdMap table{{"s", ThresholdRule("old", 9.0f, 9.0f, true, 9)}};
  DeviceProbe::BuildThresholdRule(ParseJson(R"({"V": 1, "R": 2, "L": 3})"), "s", "N", "V", "R", "L",
                                  "002", table);
  EXPECT_THAT(table, ElementsAre(Pair("s", ThresholdRule("N002", 1.0f, 2.0f, false, 3))));
}

TEST_F(ThresholdRules, FieldWithoutTextFormLeavesWithTheJsonError) {
  // Members are taken in name order: "a" is stored before "b" fails.
  const Json::Value settings = WithRules(R"(
      "a": {"ID": "A", "SignalName": "s", "UpValue": 1, "UpReconverValue": 1, "UpAlarmLevel": 1},
      "b": {"ID": "B", "SignalName": "t", "UpValue": {}, "UpReconverValue": 1, "UpAlarmLevel": 1})");
  EXPECT_THROW(Load(settings), Json::LogicError);
  EXPECT_THAT(device.upThresholdMap_, ElementsAre(Pair("s", ::testing::_)));
  EXPECT_THROW(Load(WithRules(R"("a": {"ID": [1], "SignalName": "s"})")), Json::LogicError);
}

}  // namespace
