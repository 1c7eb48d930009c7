// SPDX-License-Identifier: Apache-2.0
// Hysteresis threshold evaluation against the status document, and the number texts it sends.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/DeviceProbe.h"
#include "unidata/float_text.h"
#include "unidata/json_number.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(FloatText, NineSignificantDigitsOfTheFloat) {
  EXPECT_EQ(unidata::FloatText(30.0f), "30");
  EXPECT_EQ(unidata::FloatText(23.5f), "23.5");
  EXPECT_EQ(unidata::FloatText(23.4f), "23.3999996");
  EXPECT_EQ(unidata::FloatText(101.3f), "101.300003");
  EXPECT_EQ(unidata::FloatText(0.1f), "0.100000001");
  EXPECT_EQ(unidata::FloatText(-10.5f), "-10.5");
  EXPECT_EQ(unidata::FloatText(1e10f), "1e+10");
  EXPECT_EQ(unidata::FloatText(30.1f), "30.1000004");
  EXPECT_EQ(unidata::FloatText(0.0f), "0");
  EXPECT_EQ(unidata::FloatText(1e-7f), "1.00000001e-07");
}

TEST(FloatText, NaNAndInfinitiesGetFixedWords) {
  EXPECT_EQ(unidata::FloatText(kNaN), "nan");
  EXPECT_EQ(unidata::FloatText(-kNaN), "-nan");
  EXPECT_EQ(unidata::FloatText(kInf), "inf");
  EXPECT_EQ(unidata::FloatText(-kInf), "-inf");
  EXPECT_EQ(unidata::FloatText(std::numeric_limits<float>::max()), "3.40282347e+38");
}

TEST(JsonFloat, NarrowsLikeIeeeRoundingAtTheEdgesOfTheFloatRange) {
  const float largest = std::numeric_limits<float>::max();
  EXPECT_EQ(unidata::JsonFloat(Json::Value(1e39)), kInf);
  EXPECT_EQ(unidata::JsonFloat(Json::Value(-1e300)), -kInf);
  // Just below half a unit above the largest float still rounds down to it; from there on inf.
  EXPECT_EQ(unidata::JsonFloat(Json::Value(3.4028235e38)), largest);
  EXPECT_EQ(unidata::JsonFloat(Json::Value(-3.4028235e38)), -largest);
  EXPECT_EQ(unidata::JsonFloat(Json::Value(0x1.ffffffp127)), kInf);
  EXPECT_EQ(unidata::JsonFloat(Json::Value(23.4)), 23.4f);
  EXPECT_EQ(unidata::JsonFloat(Json::Value(7)), 7.0f);
  EXPECT_EQ(unidata::JsonFloat(Json::Value(Json::UInt64{16777217})), 16777216.0f);
  EXPECT_TRUE(std::isnan(unidata::JsonFloat(Json::Value(std::nan("")))));
}

// A device with a document and one rule table, evaluated cycle by cycle.
class ThresholdCheck : public ::testing::Test {
 protected:
  using Map = DeviceProbe::ThresholdMap;

  static ThresholdRule Rule(const std::string& id, float limit, float recover, int level = 2) {
    return ThresholdRule{id, limit, recover, false, level};
  }

  // Sets the document's value, evaluates the table and returns the calls it made.
  std::vector<std::string> Cycle(Map& rules, bool upper, const std::string& name, double value) {
    device().jsonData_[name] = value;
    return Evaluate(rules, upper);
  }

  std::vector<std::string> Evaluate(Map& rules, bool upper) {
    attached_.controller->ClearCalls();
    device().CheckSignalThresholdMap(rules, upper);
    return attached_.controller->CallTexts();
  }

  DeviceProbe& device() { return attached_.device; }

  AttachedDevice attached_;
};

TEST_F(ThresholdCheck, FiveCyclesOfAnUpperRuleWithHysteresis) {
  Map rules{{"温度", Rule("A1", 30, 28, 3)}};
  const std::vector<std::pair<double, std::string>> cycles = {
      {29, "CheckThresholdBool(3, 温度, A1, 29, , 0, 1)"},
      {30.5, "CheckThresholdBool(3, 温度, A1, 30.5, 当前值30.5高于阈值:30, 1, 1)"},
      {29, "CheckThresholdBool(3, 温度, A1, 29, 当前值29高于阈值:30, 1, 1)"},
      {28, "CheckThresholdBool(3, 温度, A1, 28, , 0, 1)"},
      {31, "CheckThresholdBool(3, 温度, A1, 31, 当前值31高于阈值:30, 1, 1)"},
  };
  for (const auto& [value, call] : cycles) {
    EXPECT_THAT(Cycle(rules, true, "温度", value), ElementsAre(call)) << "value " << value;
  }
  EXPECT_TRUE(std::get<3>(rules.at("温度")));
}

TEST_F(ThresholdCheck, LowerRuleRaisesAtTheLimitAndEndsAtTheRecoverValue) {
  Map rules{{"湿度", Rule("L1", 20, 25, 1)}};
  EXPECT_THAT(Cycle(rules, false, "湿度", 20.5),
              ElementsAre("CheckThresholdBool(1, 湿度, L1, 20.5, , 0, 1)"));
  EXPECT_THAT(Cycle(rules, false, "湿度", 20),
              ElementsAre("CheckThresholdBool(1, 湿度, L1, 20, 当前值20低于阈值:20, 1, 1)"));
  EXPECT_THAT(Cycle(rules, false, "湿度", 24.5),
              ElementsAre("CheckThresholdBool(1, 湿度, L1, 24.5, 当前值24.5低于阈值:20, 1, 1)"));
  EXPECT_THAT(Cycle(rules, false, "湿度", 25),
              ElementsAre("CheckThresholdBool(1, 湿度, L1, 25, , 0, 1)"));
}

TEST_F(ThresholdCheck, UpperRuleBoundariesAreInclusiveInSinglePrecision) {
  Map rules{{"温度", Rule("A1", 30.1f, 28.2f)}};
  // The document holds doubles; 30.1 read as a float is exactly the limit.
  EXPECT_THAT(Cycle(rules, true, "温度", 30.1),
              ElementsAre("CheckThresholdBool(2, 温度, A1, 30.1000004, "
                          "当前值30.1000004高于阈值:30.1000004, 1, 1)"));
  EXPECT_THAT(Cycle(rules, true, "温度", 28.2),
              ElementsAre("CheckThresholdBool(2, 温度, A1, 28.2000008, , 0, 1)"));
  // Just below the limit in double, yet the same float: still raises.
  EXPECT_THAT(Cycle(rules, true, "温度", 30.099999999),
              ElementsAre("CheckThresholdBool(2, 温度, A1, 30.1000004, "
                          "当前值30.1000004高于阈值:30.1000004, 1, 1)"));
}

TEST_F(ThresholdCheck, NothingToCompareMakesNoCallAndChangesNothing) {
  Map empty;
  device().jsonData_["温度"] = 40.0;
  EXPECT_THAT(Evaluate(empty, true), IsEmpty());

  Map rules{{"露点", Rule("X", 0, 0)}, {"波特率", Rule("B", 0, 0)}, {"地址", Rule("C", 0, 0)}};
  device().jsonData_["波特率"] = "9600";
  device().jsonData_["地址"] = Json::Value(Json::nullValue);
  const Json::Value before = device().jsonData_;
  EXPECT_THAT(Evaluate(rules, true), IsEmpty());
  EXPECT_EQ(device().jsonData_, before) << "a missing member must not be added";
  for (const auto& [name, rule] : rules) EXPECT_FALSE(std::get<3>(rule)) << name;
}

TEST_F(ThresholdCheck, DocumentThatIsNotAnObjectIsSkipped) {
  Map rules{{"温度", Rule("A1", 0, 0)}};
  EXPECT_THAT(Evaluate(rules, true), IsEmpty());
  EXPECT_TRUE(device().jsonData_.isNull());
}

TEST_F(ThresholdCheck, WrongSideRecoverValueAlternatesBetweenRaisedAndEnded) {
  Map rules{{"温度", Rule("A1", 30, 32)}};
  const std::string raised = "CheckThresholdBool(2, 温度, A1, 31, 当前值31高于阈值:30, 1, 1)";
  const std::string ended = "CheckThresholdBool(2, 温度, A1, 31, , 0, 1)";
  for (int cycle = 0; cycle < 2; ++cycle) {
    EXPECT_THAT(Cycle(rules, true, "温度", 31), ElementsAre(raised)) << "cycle " << cycle;
    EXPECT_THAT(Cycle(rules, true, "温度", 31), ElementsAre(ended)) << "cycle " << cycle;
  }
}

TEST_F(ThresholdCheck, NaNNeitherRaisesNorEndsAnAlarm) {
  Map rules{{"温度", Rule("A1", 30, 28)}};
  EXPECT_THAT(Cycle(rules, true, "温度", std::nan("")),
              ElementsAre("CheckThresholdBool(2, 温度, A1, nan, , 0, 1)"));
  Cycle(rules, true, "温度", 35);
  EXPECT_THAT(Cycle(rules, true, "温度", std::nan("")),
              ElementsAre("CheckThresholdBool(2, 温度, A1, nan, 当前值nan高于阈值:30, 1, 1)"));

  Map lower{{"温度", Rule("L1", 10, 12)}};
  Cycle(lower, false, "温度", 5);
  EXPECT_THAT(Cycle(lower, false, "温度", std::nan("")),
              ElementsAre("CheckThresholdBool(2, 温度, L1, nan, 当前值nan低于阈值:10, 1, 1)"));
}

TEST_F(ThresholdCheck, NumbersBeyondTheFloatRangeActAsInfinities) {
  Map upper{{"气压", Rule("U", 1000, 900)}};
  Map lower{{"气压", Rule("L", 10, 12)}};
  EXPECT_THAT(Cycle(lower, false, "气压", -1e39),
              ElementsAre("CheckThresholdBool(2, 气压, L, -inf, 当前值-inf低于阈值:10, 1, 1)"));
  EXPECT_THAT(Cycle(upper, true, "气压", 1e39),
              ElementsAre("CheckThresholdBool(2, 气压, U, inf, 当前值inf高于阈值:1000, 1, 1)"));
  EXPECT_THAT(Evaluate(lower, false), ElementsAre("CheckThresholdBool(2, 气压, L, inf, , 0, 1)"));
  EXPECT_THAT(Cycle(upper, true, "气压", -1e39),
              ElementsAre("CheckThresholdBool(2, 气压, U, -inf, , 0, 1)"));
}

TEST_F(ThresholdCheck, SameSignalInUpperAndLowerTablesKeepsSeparateStates) {
  Map upper{{"温度", Rule("U", 30, 28, 1)}};
  Map lower{{"温度", Rule("L", 30, 32, 4)}};
  device().jsonData_["温度"] = 30.0;
  EXPECT_THAT(Evaluate(upper, true),
              ElementsAre("CheckThresholdBool(1, 温度, U, 30, 当前值30高于阈值:30, 1, 1)"));
  EXPECT_THAT(Evaluate(lower, false),
              ElementsAre("CheckThresholdBool(4, 温度, L, 30, 当前值30低于阈值:30, 1, 1)"));
  device().jsonData_["温度"] = 31.0;
  EXPECT_THAT(Evaluate(upper, true),
              ElementsAre("CheckThresholdBool(1, 温度, U, 31, 当前值31高于阈值:30, 1, 1)"));
  EXPECT_THAT(Evaluate(lower, false),
              ElementsAre("CheckThresholdBool(4, 温度, L, 31, 当前值31低于阈值:30, 1, 1)"));
  device().jsonData_["温度"] = 27.0;
  EXPECT_THAT(Evaluate(upper, true), ElementsAre("CheckThresholdBool(1, 温度, U, 27, , 0, 1)"));
  EXPECT_THAT(Evaluate(lower, false),
              ElementsAre("CheckThresholdBool(4, 温度, L, 27, 当前值27低于阈值:30, 1, 1)"));
}

TEST_F(ThresholdCheck, EveryNumericEntryIsReportedInByteOrderOfItsName) {
  Map rules{{"湿度", Rule("H", 90, 80)},
            {"温度", Rule("T", 30, 28)},
            {"Zeta", Rule("Z", 1, 0)},
            {"Alpha", Rule("A", 1, 0)}};
  device().jsonData_["湿度"] = 50;  // an integer member is a number too
  device().jsonData_["温度"] = 20.0;
  device().jsonData_["Zeta"] = 0.5;
  device().jsonData_["Alpha"] = 2.0;
  EXPECT_THAT(Evaluate(rules, true),
              ElementsAre("CheckThresholdBool(2, Alpha, A, 2, 当前值2高于阈值:1, 1, 1)",
                          "CheckThresholdBool(2, Zeta, Z, 0.5, , 0, 1)",
                          "CheckThresholdBool(2, 温度, T, 20, , 0, 1)",
                          "CheckThresholdBool(2, 湿度, H, 50, , 0, 1)"));
}

}  // namespace
