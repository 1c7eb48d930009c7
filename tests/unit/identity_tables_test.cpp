// SPDX-License-Identifier: Apache-2.0
// Identity records from "thresholdSetting" (mode 3): the joined text, the names and the log.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/CapturedOutput.h"
#include "support/DeviceProbe.h"
#include "support/JsonText.h"

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

class IdentityTables : public ::testing::Test {
 protected:
  IdentityTables() { device.Init({}, 12, Json::Value()); }
  std::string Load(const std::string& settings) {
    const Json::Value document = ParseJson(settings);
    return CapturedOutput([&] { device.LoadIdentityTables(document); });
  }

  DeviceProbe device;
};

TEST_F(IdentityTables, CompleteMemberIsJoinedNamedAndLogged) {
  device.levelMap_["m1"] = 3;
  device.valueMap_["m1"] = 23.5f;
  const std::string output = Load(R"({"thresholdSetting": {
      "m1": {"NMAlarmID": "N1", "ID": 42, "SignalNumber": "S1", "SignalName": "温度"}}})");
  EXPECT_EQ(output, "here 1\nhere 2\nhere m1\nmobile:m1:N1;42;S1; level:3 value:23.5\n");
  EXPECT_THAT(device.nmAlarmIdMap_, ElementsAre(Pair("m1", "N1;42;S1;")));
  EXPECT_THAT(device.signalNameMap_, ElementsAre(Pair("m1", "温度")));
}

TEST_F(IdentityTables, MissingFieldsAreLoggedAndLeaveEmptyPlaces) {
  const std::string output =
      Load(R"({"thresholdSetting": {"b": {"ID": null}, "a": {"NMAlarmID": "N"}, "c": 7}})");
  // Members in name order; a non-object member is named and passed over.
  EXPECT_EQ(output,
            "here 1\nhere 2\n"
            "here a\n12 ID is missing\n12 SignalNumber is missing\nmobile:a:N;;; level:0 value:0\n"
            "here b\n12 NMAlarmID is missing\n12 ID is missing\n12 SignalNumber is missing\n"
            "mobile:b:;;; level:0 value:0\n"
            "here c\n");
  EXPECT_THAT(device.nmAlarmIdMap_, ElementsAre(Pair("a", "N;;;"), Pair("b", ";;;")));
  EXPECT_TRUE(device.signalNameMap_.empty());
  // The host tables gain an entry for every logged member name.
  EXPECT_THAT(device.levelMap_, ElementsAre(Pair("a", 0), Pair("b", 0)));
  EXPECT_THAT(device.valueMap_, ElementsAre(Pair("a", 0.0f), Pair("b", 0.0f)));
}

TEST_F(IdentityTables, AbsentOrShapelessSettingsLoadNothing) {
  EXPECT_EQ(Load(R"({})"), "here 1\n");
  EXPECT_EQ(Load(R"({"thresholdSetting": null})"), "here 1\n");
  EXPECT_EQ(Load(R"("text")"), "here 1\n");
  // Arrays and scalars carry no named members: passed over instead of failing the lookup.
  for (const char* shapeless : {R"([{"ID": "x"}])", R"("x")", "5"}) {
    EXPECT_EQ(Load(std::string(R"({"thresholdSetting": )") + shapeless + "}"), "here 1\nhere 2\n");
  }
  EXPECT_TRUE(device.nmAlarmIdMap_.empty());
  EXPECT_TRUE(device.levelMap_.empty());
}

TEST_F(IdentityTables, LoadsAddAndOverwriteButNeverRemove) {
  Load(R"({"thresholdSetting": {"a": {"ID": "1", "SignalName": "x"}, "b": {"ID": "2"}}})");
  Load(R"({"thresholdSetting": {"b": {"ID": "3", "SignalName": "y"}}})");
  EXPECT_THAT(device.nmAlarmIdMap_, ElementsAre(Pair("a", ";1;;"), Pair("b", ";3;;")));
  EXPECT_THAT(device.signalNameMap_, ElementsAre(Pair("a", "x"), Pair("b", "y")));
}

TEST_F(IdentityTables, FieldWithoutTextFormLeavesWithTheJsonError) {
  EXPECT_THROW(Load(R"({"thresholdSetting": {"a": {"ID": "1"}, "b": {"ID": {"x": 1}}}})"),
               Json::LogicError);
  // The member before the failing one is stored.
  EXPECT_THAT(device.nmAlarmIdMap_, ElementsAre(Pair("a", ";1;;")));
  EXPECT_THROW(Load(R"({"thresholdSetting": {"c": {"SignalName": []}}})"), Json::LogicError);
}

}  // namespace
