// SPDX-License-Identifier: Apache-2.0
// Inputs the fuzz targets found mishandled, kept as tests once mended (each input is also a
// seed of its target under fuzz/seeds/).
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "support/CapturedOutput.h"
#include "support/DeviceProbe.h"
#include "support/JsonText.h"

namespace {

// fuzz_settings, seed limit_at_largest_float.json: a limit written as the largest float with 8
// digits became an infinity, so the rule compared against no finite value and its alarm text
// read "inf". Narrowing rounds it to the largest float; only past half a unit in its last place
// does a text become an infinity.
TEST(FuzzRegression, LimitsAtTheEdgeOfTheFloatRangeRoundLikeANarrowingConversion) {
  AttachedDevice attached;
  DeviceProbe& device = attached.device;
  const Json::Value settings = ParseJson(R"({"appSetting": {"b_mode": 5}, "thresholdSetting": {
      "t": {"ID": "T01", "SignalName": "温度",
            "UpValue": "3.4028235e38", "UpReconverValue": "-3.4028235e38", "UpAlarmLevel": 2,
            "LowValue": "3.40282357e38", "LowReconverValue": "-3.40282357e38",
            "LowAlarmLevel": 1}}})");
  CapturedOutput([&] { device.InitSetting(settings); });

  const float largest = std::numeric_limits<float>::max();
  const float infinity = std::numeric_limits<float>::infinity();
  ASSERT_EQ(device.upThresholdMap_.count("温度"), 1u);
  ASSERT_EQ(device.lowThresholdMap_.count("温度"), 1u);
  EXPECT_EQ(std::get<1>(device.upThresholdMap_.at("温度")), largest);
  EXPECT_EQ(std::get<2>(device.upThresholdMap_.at("温度")), -largest);
  EXPECT_EQ(std::get<1>(device.lowThresholdMap_.at("温度")), infinity);
  EXPECT_EQ(std::get<2>(device.lowThresholdMap_.at("温度")), -infinity);
}

}  // namespace
