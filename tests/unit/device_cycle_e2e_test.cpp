// SPDX-License-Identifier: Apache-2.0
// A configured device driven from RefreshStatus through six bus answers to its history, with a
// mode-5 rule that raises an alarm in one cycle and clears it in the next.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/TTime.h"
#include "support/CapturedOutput.h"
#include "support/DeviceProbe.h"
#include "support/JsonText.h"
#include "support/ScratchDirectory.h"

namespace {

// Little-endian 16-bit words of a record, from a byte offset.
std::vector<uint16_t> Words(const std::vector<unsigned char>& bytes, std::size_t offset,
                            std::size_t count) {
  std::vector<uint16_t> words(count);
  std::memcpy(words.data(), bytes.data() + offset, count * sizeof(uint16_t));
  return words;
}

using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

const char* const kSettings = R"({
  "appSetting": {"b_mode": 5},
  "thresholdSetting": {
    "temperature": {"ID": "T01", "SignalName": "温度",
                    "UpValue": 30, "UpReconverValue": 28, "UpAlarmLevel": 2,
                    "LowValue": 5, "LowReconverValue": 7, "LowAlarmLevel": 1}
  }
})";

const std::vector<std::string> kPollRequests = {
    "Request(fc3 0/4)",  "Request(fc4 0/4)",    "Request(fc3 80/3)",
    "Request(fc4 80/3)", "Request(fc3 2000/2)", "Request(fc4 2000/2)",
};

class DeviceCycle : public ::testing::Test {
 protected:
  DeviceCycle() {
    CapturedOutput([&] { device().InitSetting(ParseJson(kSettings)); });
    // The sensor: holding copies differ from input copies, so the record shows both.
    for (uint16_t r = 0; r < 4; ++r) bus().SetHolding(r, static_cast<uint16_t>(1000 + r));
    bus().SetInput(0, 455);    // humidity 45.5
    bus().SetInput(3, 10130);  // pressure 1013
    bus().SetInput(2000, 1);
    bus().SetInput(2001, 2);
  }

  // Starts a cycle and answers its requests one by one; returns the cycle's output.
  std::string PollOnce(uint16_t rawTemperature) {
    bus().SetInput(1, rawTemperature);
    bus().ClearCalls();
    return CapturedOutput([&] {
      EXPECT_EQ(device().RefreshStatus(), 1);
      for (int answer = 0; answer < 6; ++answer) ASSERT_TRUE(bus().RunNext()) << answer;
      EXPECT_EQ(bus().PendingRequests(), 0u);
    });
  }

  // The status document follows the data time, which has whole seconds: the next cycle is
  // evaluated against fresh values only once the clock has moved on.
  void WaitForTheNextSecond() {
    const auto last = device().DataTime();
    while (boost::posix_time::second_clock::local_time() == last) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  std::vector<std::string> Expected(const std::vector<std::string>& checks) const {
    std::vector<std::string> calls;
    for (std::size_t i = 0; i < kPollRequests.size(); ++i) calls.push_back(kPollRequests[i]);
    calls.push_back("SendSP(5156, <47 bytes>, 0)");
    calls.insert(calls.end(), checks.begin(), checks.end());
    calls.push_back("DoBatchCheckThreshold(0)");
    calls.push_back("SaveDeviceHistory(<47 bytes>)");
    return calls;
  }

  DeviceProbe& device() { return attached_.device; }
  RecordingController& bus() { return *attached_.controller; }

  AttachedDevice attached_{12};
};

TEST_F(DeviceCycle, AlarmRaisedInOneCycleAndClearedInTheNext) {
  EXPECT_EQ(PollOnce(305), "rvSize is 0\n");
  EXPECT_THAT(bus().CallTexts(),
              ElementsAreArray(Expected(
                  {"CheckThresholdBool(2, 温度, T01001, 30.5, 当前值30.5高于阈值:30, 1, 1)",
                   "CheckThresholdBool(1, 温度, T01003, 30.5, , 0, 1)"})));
  EXPECT_TRUE(device().DataReady());

  WaitForTheNextSecond();
  EXPECT_EQ(PollOnce(275), "rvSize is 0\n");
  EXPECT_THAT(bus().CallTexts(),
              ElementsAreArray(Expected({"CheckThresholdBool(2, 温度, T01001, 27.5, , 0, 1)",
                                         "CheckThresholdBool(1, 温度, T01003, 27.5, , 0, 1)"})));
  EXPECT_EQ(device().jsonData_["温度"].asDouble(), 27.5);
}

TEST_F(DeviceCycle, HistoryEntryCarriesBothCopiesTheDataIdAndTheCompletionTime) {
  PollOnce(234);
  const auto stored = bus().CallsOf("SaveDeviceHistory");
  ASSERT_EQ(stored.size(), 1u);
  const std::vector<unsigned char>& entry = stored[0].bytes;
  ASSERT_EQ(entry.size(), 47u);
  EXPECT_EQ(entry, bus().CallsOf("SendSP")[0].bytes);
  EXPECT_EQ(entry, device().Record());

  EXPECT_EQ(Words(entry, 0, 2), (std::vector<uint16_t>{12, 0})) << "data id";
  EXPECT_EQ(Words(entry, 4, 4), (std::vector<uint16_t>{1000, 1001, 1002, 1003}));
  EXPECT_EQ(Words(entry, 12, 4), (std::vector<uint16_t>{455, 234, 0, 10130}));
  EXPECT_EQ(Words(entry, 36, 2), (std::vector<uint16_t>{1, 2}));
  const TTime completed = get_ttime(device().DataTime());
  EXPECT_EQ(std::memcmp(entry.data() + 40, &completed, sizeof completed), 0);
  EXPECT_NE(completed.year, 0);

  // The document of that cycle shows the input copy, and the rule saw 23.3999996.
  EXPECT_EQ(device().jsonData_["温度"].asDouble(), static_cast<double>(234.0f / 10.0f));
  EXPECT_THAT(bus().CallTexts(), Contains(HasSubstr("温度, T01001, 23.3999996, , 0")));
}

// Mode 1 hands the host the status document's values: a sub-zero temperature must reach the
// threshold check and the analog report with its sign, not as 6548.6.
TEST(DeviceCycleMode1, NegativeTemperatureReachesThresholdAndReportWithItsSign) {
  ScratchDirectory scratch(true);
  scratch.Write("ini/12.ini",
                "[AI]\n温度 = 010010010,Temperature\n[ALARM]\n温度 = 010010011,high\n");
  AttachedDevice attached(12);
  DeviceProbe& device = attached.device;
  RecordingController& bus = *attached.controller;
  CapturedOutput([&] { device.InitSetting(ParseJson(R"({"appSetting": {"b_mode": 1}})")); });
  SMDVDevice::BAOSetting report{};
  report.absEnable = true;
  report.absThreshold = 1.0f;
  device.BaoSettings()["010010010"] = report;
  bus.SetInput(1, 65486);  // -5.0 in two's complement
  bus.ClearCalls();
  CapturedOutput([&] {
    device.RefreshStatus();
    for (int answer = 0; answer < 6; ++answer) ASSERT_TRUE(bus.RunNext()) << answer;
  });
  EXPECT_THAT(bus.CallTexts(), Contains("CheckThreshold(010610011, Temperature, -5, 1)"))
      << ::testing::PrintToString(bus.CallTexts());
  EXPECT_THAT(bus.CallTexts(), Contains("CheckAOReport(010010010, -5)"));
  EXPECT_EQ(device.BaoSettings()["010010010"].lastReportValue, -5.0f);
}

}  // namespace
