// SPDX-License-Identifier: Apache-2.0
// Sub-zero temperatures and negative calibrations over the real line: the sensor sends them as
// two's complement, and alarms, history and writes must all see the sign.
#include <gtest/gtest.h>

#include <cstdlib>

#include "Bench.h"
#include "Text.h"
#include "events/EventFormat.h"

namespace {

// The mode-5 example of docs/plugin.md: high alarm at 35 (clears at 33), low alarm at -5 (clears at -3).
const char* const kReadmeMode5 = R"({"appSetting": {"b_mode": 5}, "thresholdSetting": {
  "temperature": {"ID": "T01", "SignalName": "温度",
                  "UpValue": 35, "UpReconverValue": 33, "UpAlarmLevel": 2,
                  "LowValue": -5, "LowReconverValue": -3, "LowAlarmLevel": 1}}})";

TEST(SignedValues, FallingBelowMinusFiveRaisesTheLowAlarmAndRisingPastMinusThreeClearsIt) {
  Bench bench;
  // From 2 down to -8 and back to 2 in eight seconds. The device evaluates a fresh document once
  // a second, so the wave stays below -5 (and later above -3) for well over a second.
  bench.StartSensor({"--temperature", "2:-8:8"});
  const auto run = bench.Host({"run", "--cycles", "45", bench.Config(kReadmeMode5, 200)});
  ASSERT_EQ(run.exitCode, 0) << run.out << run.err;

  const auto events = QueryRows(
      bench.Database(), "SELECT alarm_id, active, value_text FROM alarm_events ORDER BY id");
  ASSERT_EQ(events.size(), 2u) << run.out;
  EXPECT_EQ(events[0][0], "T01003");
  EXPECT_EQ(events[0][1], "1");
  EXPECT_LE(std::strtod(events[0][2].c_str(), nullptr), -5.0) << events[0][2];
  EXPECT_EQ(events[1][0], "T01003");
  EXPECT_EQ(events[1][1], "0");
  EXPECT_GE(std::strtod(events[1][2].c_str(), nullptr), -3.0) << events[1][2];
  EXPECT_EQ(run.out.find("T01001"), std::string::npos) << run.out;

  // The history columns read the same way: the coldest stored cycle is below -5, not near 6550.
  const auto coldest = QueryRows(bench.Database(), "SELECT MIN(temperature) FROM history");
  ASSERT_EQ(coldest.size(), 1u);
  EXPECT_LT(std::strtod(coldest[0][0].c_str(), nullptr), -5.0);
  EXPECT_GE(std::strtod(coldest[0][0].c_str(), nullptr), -8.05);
}

TEST(SignedValues, ANegativeCalibrationIsWrittenAsTwosComplementAndReadBackWithItsSign) {
  Bench bench;
  bench.StartSensor({"--static"});
  const auto write = bench.Host({"write", bench.Config(kReadmeMode5), "12", "80", "-5"});
  EXPECT_EQ(write.exitCode, 0) << write.out << write.err;
  // What was typed, and the raw register beside it.
  EXPECT_NE(write.out.find("register 80 = -5 (65531): confirmed"), std::string::npos) << write.out;
  const auto json =
      bench.Host({"write", "--json", bench.Config(kReadmeMode5), "12", "80", "-5", "7"});
  const Json::Value document = JsonValue(json.out);
  Json::Value event;
  for (const Json::Value& each : document["events"]) {
    if (each["event"].asString() == "write") event = each;
  }
  EXPECT_EQ(CompactJson(event["typed_values"]), "[-5,7]") << json.out;
  EXPECT_EQ(CompactJson(event["values"]), "[65531,7]") << json.out;
  EXPECT_NE(write.out.find("\"温度校准值\":-0.5"), std::string::npos) << write.out;
  EXPECT_NE(bench.SensorLog().find("write 80 = 65531"), std::string::npos) << bench.SensorLog();
}

}  // namespace
