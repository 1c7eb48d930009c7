// SPDX-License-Identifier: Apache-2.0
// Report-on-change check of analog values: choice of settings, the three tests, the memory of
// the last report.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/DeviceProbe.h"
#include "unidata/report_tests.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Setting = SMDVDevice::BAOSetting;

int64_t Now() { return static_cast<int64_t>(std::time(nullptr)); }

Setting Absolute(float threshold, float last) {
  Setting s;
  s.absEnable = true;
  s.absThreshold = threshold;
  s.lastReportValue = last;
  return s;
}

Setting Percent(float threshold, float last) {
  Setting s;
  s.percentEnable = true;
  s.percentThreshold = threshold;
  s.lastReportValue = last;
  return s;
}

Setting Period(float minutes, uint32_t lastTime) {
  Setting s;
  s.periodEnable = true;
  s.periodMinutes = minutes;
  s.lastReportTime = lastTime;
  return s;
}

TEST(ReportPeriod, OneMinuteRunsOutAfterMoreThanSixtySecondsAtAnyCurrentSecond) {
  // A whole span of 256 current seconds: a clock value held as a float would be quantised to
  // 128 seconds here and let some of these through early or hold them late.
  const int64_t base = Now();
  for (int64_t now = base; now < base + 256; ++now) {
    const auto at = [now](int64_t secondsAgo) { return static_cast<uint32_t>(now - secondsAgo); };
    ASSERT_FALSE(unidata::PeriodDue(now, at(59), 1.0f)) << now;
    ASSERT_FALSE(unidata::PeriodDue(now, at(60), 1.0f)) << now;
    ASSERT_TRUE(unidata::PeriodDue(now, at(61), 1.0f)) << now;
  }
}

TEST(ReportPeriod, LongerAndFractionalPeriodsAreExactToTheSecond) {
  const int64_t now = Now();
  const auto at = [now](int64_t secondsAgo) { return static_cast<uint32_t>(now - secondsAgo); };
  EXPECT_FALSE(unidata::PeriodDue(now, at(300), 5.0f));
  EXPECT_TRUE(unidata::PeriodDue(now, at(301), 5.0f));
  EXPECT_FALSE(unidata::PeriodDue(now, at(600), 10.0f));
  EXPECT_TRUE(unidata::PeriodDue(now, at(601), 10.0f));
  EXPECT_FALSE(unidata::PeriodDue(now, at(30), 0.5f));
  EXPECT_TRUE(unidata::PeriodDue(now, at(31), 0.5f));
  EXPECT_FALSE(unidata::PeriodDue(now, at(0), 0.0f));
  EXPECT_TRUE(unidata::PeriodDue(now, at(1), 0.0f));
  EXPECT_TRUE(unidata::PeriodDue(now, 0, 1.0f)) << "never reported";
}

TEST(ReportPeriod, UnusablePeriods) {
  const int64_t now = Now();
  const auto at = [now](int64_t secondsAgo) { return static_cast<uint32_t>(now - secondsAgo); };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_FALSE(unidata::PeriodDue(now, 0, nan));
  EXPECT_FALSE(unidata::PeriodDue(now, 0, inf));
  EXPECT_FALSE(unidata::PeriodDue(now, 0, 1e30f));
  EXPECT_FALSE(unidata::PeriodDue(now, 0, std::numeric_limits<float>::max()));
  EXPECT_TRUE(unidata::PeriodDue(now, at(0), -1.0f));
  EXPECT_TRUE(unidata::PeriodDue(now, at(0), -inf));
}

// The last report lies in the future: the clock was set back. A finite period reports and starts
// over; a period that never runs out stays so.
TEST(ReportPeriod, ClockSetBackReportsUnlessThePeriodNeverRunsOut) {
  const int64_t now = Now();
  const auto at = [now](int64_t secondsAgo) { return static_cast<uint32_t>(now - secondsAgo); };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const std::vector<std::pair<int64_t, uint32_t>> setBack = {
      {now, at(-1)}, {now, at(-86400 * 365)}, {0, 4294967295u}};
  for (const auto& [current, last] : setBack) {
    EXPECT_TRUE(unidata::PeriodDue(current, last, 60.0f)) << current << " " << last;
    EXPECT_TRUE(unidata::PeriodDue(current, last, std::numeric_limits<float>::max()))
        << current << " " << last;
    EXPECT_TRUE(unidata::PeriodDue(current, last, -inf)) << current << " " << last;
    EXPECT_FALSE(unidata::PeriodDue(current, last, nan)) << current << " " << last;
    EXPECT_FALSE(unidata::PeriodDue(current, last, inf)) << current << " " << last;
  }
}

TEST(ReportChange, AbsoluteBoundsAreStrict) {
  const Setting s = Absolute(0.5f, 20.0f);
  EXPECT_FALSE(unidata::ReportDue(s, 20.5f, Now()));
  EXPECT_TRUE(unidata::ReportDue(s, 20.6f, Now()));
  EXPECT_FALSE(unidata::ReportDue(s, 19.5f, Now()));
  EXPECT_TRUE(unidata::ReportDue(s, 19.4f, Now()));
  EXPECT_FALSE(unidata::ReportDue(s, 20.0f, Now()));
  EXPECT_FALSE(unidata::ReportDue(s, std::nanf(""), Now()));
}

// A percent bound: a value at it does not report, the next float beyond it does.
void ExpectPercentBound(float percent, float last, float bound, bool upper) {
  const Setting s = Percent(percent, last);
  const float beyond = std::nextafter(bound, upper ? 1e9f : -1e9f);
  EXPECT_FALSE(unidata::ReportDue(s, bound, Now()))
      << percent << "% of " << last << " at " << bound;
  EXPECT_TRUE(unidata::ReportDue(s, beyond, Now()))
      << percent << "% of " << last << " at " << beyond;
}

TEST(ReportChange, PercentBoundsAreComputedInSinglePrecisionInTheirOrder) {
  // (p + 100) * last / 100. Dividing first, last / 100 * (p + 100), or taking the factor first,
  // (p + 100) / 100 * last, gives the next float above for 12.3 (13.5300007: the value just past
  // the bound would not report) and the next float below for 22.3 (24.5299988: the value at the
  // bound would report); computing in double gives those too.
  ExpectPercentBound(10.0f, 12.3f, 13.5299997f, true);
  ExpectPercentBound(10.0f, 22.3f, 24.5300007f, true);
  // (100 - p) * last / 100: the other orders give 10.4400005 for 11.6 and 3.68999982 for 4.1.
  ExpectPercentBound(10.0f, 11.6f, 10.4399996f, false);
  ExpectPercentBound(10.0f, 4.1f, 3.69000006f, false);
  // Here every order gives the same float and only double differs: 36.6299973 for the upper
  // bound of 33.3, 91.1700058 for the lower bound of 101.3.
  ExpectPercentBound(10.0f, 33.3f, 36.6300011f, true);
  ExpectPercentBound(10.0f, 101.3f, 91.1699982f, false);
  EXPECT_FALSE(unidata::ReportDue(Percent(10.0f, 101.3f), 101.3f, Now()));
}

TEST(ReportChange, PercentOfZeroOrOfANegativeLastValue) {
  const Setting zero = Percent(10.0f, 0.0f);
  EXPECT_FALSE(unidata::ReportDue(zero, 0.0f, Now()));
  EXPECT_TRUE(unidata::ReportDue(zero, 1e-30f, Now()));
  EXPECT_TRUE(unidata::ReportDue(zero, -1e-30f, Now()));
  // With a negative last value the upper bound (-11) lies below the lower bound (-9).
  const Setting negative = Percent(10.0f, -10.0f);
  for (float value : {-10.0f, -9.5f, -11.0f, 0.0f, -100.0f, 100.0f}) {
    EXPECT_TRUE(unidata::ReportDue(negative, value, Now())) << value;
  }
}

TEST(ReportChange, DisabledTestsNeverTrigger) {
  Setting s;
  s.absThreshold = 0.0f;
  s.percentThreshold = 0.0f;
  s.periodMinutes = -1.0f;
  s.lastReportValue = 5.0f;
  for (float value : {-1e9f, 0.0f, 4.0f, 6.0f, 1e9f}) {
    EXPECT_FALSE(unidata::ReportDue(s, value, Now())) << value;
  }
}

// The device's CheckAOReport with its settings map and the host's report call.
class AOReport : public ::testing::Test {
 protected:
  std::map<std::string, Setting>& settings() { return attached_.device.baoSettings_; }
  int Check(const std::string& alarmId, const std::string& signalId, float value) {
    return attached_.device.CheckAOReport(alarmId, signalId, value);
  }
  std::vector<std::string> Calls() const { return attached_.controller->CallTexts(); }

  AttachedDevice attached_;
};

TEST_F(AOReport, NoSettingsForEitherIdentifierMeansNoReport) {
  EXPECT_EQ(Check("A", "S", 99.0f), 0);
  EXPECT_TRUE(settings().empty());
  settings()["other"] = Period(1.0f, 0);
  EXPECT_EQ(Check("A", "S", 99.0f), 0);
  EXPECT_EQ(settings().size(), 1u);
  EXPECT_THAT(Calls(), IsEmpty());
}

TEST_F(AOReport, SettingsUnderTheAlarmIdentifierAreCopiedOnceAndKeptApart) {
  settings()["A"] = Absolute(1.0f, 20.0f);
  EXPECT_EQ(Check("A", "S", 25.0f), 1);
  ASSERT_EQ(settings().count("S"), 1u);
  EXPECT_EQ(settings()["S"].lastReportValue, 25.0f);
  EXPECT_TRUE(settings()["S"].absEnable);
  EXPECT_EQ(settings()["A"].lastReportValue, 20.0f) << "the alarm entry keeps its memory";
  EXPECT_EQ(settings()["A"].lastReportTime, 0u);
  // Later changes to the alarm entry no longer reach the signal's copy.
  settings()["A"].absThreshold = 100.0f;
  EXPECT_EQ(Check("A", "S", 26.5f), 1);
  EXPECT_THAT(Calls(), ElementsAre("CheckAOReport(S, 25)", "CheckAOReport(S, 26.5)"));
}

TEST_F(AOReport, CopyCarriesTheLastReportFields) {
  Setting shared = Absolute(1.0f, 20.0f);
  shared.lastReportTime = 12345;
  settings()["A"] = shared;
  EXPECT_EQ(Check("A", "S", 20.5f), 0);
  EXPECT_EQ(settings()["S"].lastReportTime, 12345u);
  EXPECT_EQ(settings()["S"].lastReportValue, 20.0f);
  EXPECT_EQ(settings()["S"].absThreshold, 1.0f);
}

TEST_F(AOReport, SignalIdentifierWinsOverTheAlarmIdentifier) {
  settings()["A"] = Absolute(0.1f, 0.0f);
  settings()["S"] = Absolute(100.0f, 0.0f);
  EXPECT_EQ(Check("A", "S", 50.0f), 0);
  EXPECT_THAT(Calls(), IsEmpty());
  EXPECT_EQ(settings()["S"].lastReportValue, 0.0f);
}

TEST_F(AOReport, NeverReportedValueReportsOnceAndThenWaitsForThePeriod) {
  settings()["S"] = Period(1.0f, 0);
  const int64_t before = Now();
  EXPECT_EQ(Check("A", "S", 21.5f), 1);
  const int64_t after = Now();
  EXPECT_GE(settings()["S"].lastReportTime, static_cast<uint32_t>(before));
  EXPECT_LE(settings()["S"].lastReportTime, static_cast<uint32_t>(after));
  EXPECT_EQ(settings()["S"].lastReportValue, 21.5f);
  EXPECT_EQ(Check("A", "S", 21.5f), 0);
  EXPECT_EQ(Check("A", "S", 80.0f), 0) << "only the period is enabled";
  settings()["S"].lastReportTime -= 61;
  EXPECT_EQ(Check("A", "S", 22.0f), 1);
  EXPECT_THAT(Calls(), ElementsAre("CheckAOReport(S, 21.5)", "CheckAOReport(S, 22)"));
}

TEST_F(AOReport, SameValueAgainDoesNotReportTwice) {
  Setting s = Absolute(0.5f, 10.0f);
  s.percentEnable = true;
  s.percentThreshold = 5.0f;
  s.periodEnable = true;
  s.periodMinutes = 10.0f;
  s.lastReportTime = static_cast<uint32_t>(Now());
  settings()["S"] = s;
  EXPECT_EQ(Check("A", "S", 30.0f), 1);
  EXPECT_EQ(Check("A", "S", 30.0f), 0);
  EXPECT_EQ(Check("A", "S", 30.4f), 0);
  EXPECT_EQ(Check("A", "S", 30.6f), 1);
  EXPECT_THAT(Calls(), ElementsAre("CheckAOReport(S, 30)", "CheckAOReport(S, 30.6000004)"));
}

// A controller that looks at the device's memory at the moment of the report.
class MemoryAtReport : public RecordingController {
 public:
  int CheckAOReport(SMDVDevice& device, const std::string& signalId, float value) override {
    seen.push_back(device.BaoSettings().at(signalId));
    return RecordingController::CheckAOReport(device, signalId, value);
  }
  std::vector<Setting> seen;
};

TEST(AOReportOrder, LastReportFieldsAreUpdatedBeforeTheHostIsCalled) {
  auto controller = std::make_shared<MemoryAtReport>();
  DeviceProbe device;
  device.Init(controller, 1, Json::Value(Json::objectValue));
  device.baoSettings_["S"] = Absolute(1.0f, 0.0f);
  EXPECT_EQ(device.CheckAOReport("A", "S", 7.0f), 1);
  ASSERT_EQ(controller->seen.size(), 1u);
  EXPECT_EQ(controller->seen[0].lastReportValue, 7.0f);
  EXPECT_NE(controller->seen[0].lastReportTime, 0u);
}

}  // namespace
