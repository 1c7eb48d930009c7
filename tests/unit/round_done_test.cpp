// SPDX-License-Identifier: Apache-2.0
// Completion of a poll cycle: stamp, hand-over, the mode's evaluation, batch check, history.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/TTime.h"
#include "support/CapturedOutput.h"
#include "support/DeviceProbe.h"
#include "unidata/alarm_id.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

// Whether some thread holds the mutex, asked from another thread (asking from the holder's own
// thread is undefined for a std::mutex).
bool LockedElsewhere(std::mutex& mutex) {
  return std::async(std::launch::async,
                    [&mutex] {
                      if (!mutex.try_lock()) return true;
                      mutex.unlock();
                      return false;
                    })
      .get();
}

// A probe whose own virtual steps leave a mark in the same log as the controller's calls, so the
// whole sequence of one completion can be compared at once. The status document is left as the
// test filled it.
class SequenceProbe : public DeviceProbe {
 public:
  void Reset() override {
    Mark("Reset");
    DeviceProbe::Reset();
  }
  void RunCheckThreshold() override { Mark("RunCheckThreshold"); }
  void GenJsonData() override {
    // The document lock must be free while the document is rebuilt.
    Mark(LockedElsewhere(jsonMutex_) ? "GenJsonData under lock" : "GenJsonData");
  }

  std::vector<std::string> Sequence(const RecordingController& controller) const {
    std::vector<std::string> sequence;
    const auto calls = controller.CallTexts();
    std::size_t next = 0;
    for (const auto& [position, mark] : marks_) {
      while (next < position) sequence.push_back(calls[next++]);
      sequence.push_back(mark);
    }
    while (next < calls.size()) sequence.push_back(calls[next++]);
    return sequence;
  }

  std::shared_ptr<RecordingController> controller;

 private:
  void Mark(const std::string& what) { marks_.emplace_back(controller->Calls().size(), what); }
  std::vector<std::pair<std::size_t, std::string>> marks_;
};

class RoundDone : public ::testing::Test {
 protected:
  RoundDone() {
    device_.controller = controller_;
    device_.Init(controller_, 0x01020304, Json::Value(Json::objectValue));
  }

  // Runs one completion and returns what it wrote to standard output.
  std::string Complete() {
    ::testing::internal::CaptureStdout();
    try {
      device_.RoundDone();
    } catch (...) {
      ::testing::internal::GetCapturedStdout();  // give the test's output back before failing
      throw;
    }
    return ::testing::internal::GetCapturedStdout();
  }

  std::vector<std::string> Sequence() const { return device_.Sequence(*controller_); }

  std::shared_ptr<RecordingController> controller_ = std::make_shared<RecordingController>();
  SequenceProbe device_;
};

const std::vector<std::string> kBody = {"SendSP(5156, <47 bytes>, 0)", "Reset",
                                        "RunCheckThreshold"};
const std::vector<std::string> kTail = {"DoBatchCheckThreshold(0)",
                                        "SaveDeviceHistory(<47 bytes>)"};

std::vector<std::string> Join(std::vector<std::string> head, const std::vector<std::string>& mid,
                              const std::vector<std::string>& tail) {
  head.insert(head.end(), mid.begin(), mid.end());
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

TEST_F(RoundDone, ModesWithoutEvaluationStillStoreTheCycle) {
  for (int mode : {3, 0, 2, -1}) {
    device_.b_mode_ = mode;
    device_.upThresholdMap_["温度"] = ThresholdRule{"A", 0, 0, false, 1};
    device_.aiSignalMap_["温度"] = {"0123456789AB", "温度"};
    device_.jsonData_["温度"] = 50.0;
    EXPECT_EQ(Complete(), "rvSize is 0\n") << "mode " << mode;
  }
  // Four completions, each the same bare sequence.
  std::vector<std::string> expected;
  for (int i = 0; i < 4; ++i) expected = Join(expected, kBody, kTail);
  EXPECT_THAT(Sequence(), ElementsAreArray(expected));
}

TEST_F(RoundDone, StampsTheRecordAndMarksTheDataReady) {
  const auto before = boost::posix_time::second_clock::local_time();
  Complete();
  const auto after = boost::posix_time::second_clock::local_time();
  const auto stamped = device_.DataTime();
  EXPECT_TRUE(device_.DataReady());
  EXPECT_GE(stamped, before);
  EXPECT_LE(stamped, after);
  EXPECT_EQ(stamped.time_of_day().fractional_seconds(), 0);
  const TTime expected = get_ttime(stamped);
  EXPECT_EQ(std::memcmp(device_.RecordBytes() + 40, &expected, sizeof expected), 0);
  EXPECT_EQ(device_.data_.dataId, 0u) << "the data id is stamped by the configuration step";
  EXPECT_EQ(device_.cycleStatus_, 1);
  EXPECT_FALSE(device_.IsProcessing());
}

TEST_F(RoundDone, HandsTheSameStampedRecordToSendSPAndHistory) {
  auto* record = reinterpret_cast<unsigned char*>(&device_.data_);
  for (std::size_t i = 4; i < 40; ++i) record[i] = static_cast<unsigned char>(i);
  device_.b_mode_ = 3;
  Complete();
  const auto sent = controller_->CallsOf("SendSP");
  const auto stored = controller_->CallsOf("SaveDeviceHistory");
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_EQ(stored.size(), 1u);
  EXPECT_EQ(sent[0].bytes, device_.Record());
  EXPECT_EQ(stored[0].bytes, device_.Record());
}

TEST_F(RoundDone, BatchOfTheHostIsCountedCheckedAndEmptied) {
  device_.b_mode_ = 0;
  device_.ruleValues_.resize(3);
  controller_->SetBatchResult(true);
  device_.cycleAlarmFlag_ = 0;
  EXPECT_EQ(Complete(), "rvSize is 3\n");
  EXPECT_EQ(device_.cycleAlarmFlag_, 1);
  EXPECT_TRUE(device_.ruleValues_.empty());
  EXPECT_THAT(controller_->CallsOf("DoBatchCheckThreshold")[0].args, ElementsAre("3"));

  // The flag is cleared by every completion before the batch result is OR-ed in.
  controller_->SetBatchResult(false);
  EXPECT_EQ(Complete(), "rvSize is 0\n");
  EXPECT_EQ(device_.cycleAlarmFlag_, 0);
  EXPECT_THAT(controller_->CallsOf("DoBatchCheckThreshold")[1].args, ElementsAre("0"));
}

TEST_F(RoundDone, ModeOneChecksEverySignalThenReportsIt) {
  device_.b_mode_ = 1;
  device_.aiSignalMap_["温度"] = {"0123456789AB", "Temperature"};
  device_.aiSignalMap_["湿度"] = {"01234", "Humidity"};
  device_.aiSignalMap_["Alpha"] = {"AB", "Short"};
  device_.jsonData_["温度"] = 23.4;
  device_.jsonData_["湿度"] = 55.5;
  device_.jsonData_["Alpha"] = 1.0;
  // Report settings kept under the alarm identifiers: the report check is handed those first.
  SMDVDevice::BAOSetting always;
  always.periodEnable = true;
  always.periodMinutes = -1.0f;
  device_.baoSettings_["0126456719AB"] = always;
  device_.baoSettings_["01264"] = always;
  EXPECT_EQ(Complete(), "rvSize is 0\n");
  EXPECT_THAT(Sequence(), ElementsAreArray(Join(kBody,
                                                {"GenJsonData", "CheckThreshold(AB, Short, 1, 1)",
                                                 "CheckThreshold(0126456719AB, Temperature, "
                                                 "23.3999996, 1)",
                                                 "CheckAOReport(0123456789AB, 23.3999996)",
                                                 "CheckThreshold(01264, Humidity, 55.5, 1)",
                                                 "CheckAOReport(01234, 55.5)"},
                                                kTail)));
  EXPECT_EQ(device_.baoSettings_.count("0123456789AB"), 1u);
  EXPECT_EQ(device_.baoSettings_.count("01234"), 1u);
}

TEST_F(RoundDone, AlarmIdentifierReplacesPositionsThreeAndEight) {
  EXPECT_EQ(unidata::AlarmIdOf("0123456789AB"), "0126456719AB");
  EXPECT_EQ(unidata::AlarmIdOf("012345678"), "012645671");
  EXPECT_EQ(unidata::AlarmIdOf("01234"), "01264");
  EXPECT_EQ(unidata::AlarmIdOf("0123"), "0126");
  EXPECT_EQ(unidata::AlarmIdOf("012"), "012");
  EXPECT_EQ(unidata::AlarmIdOf(""), "");
}

TEST_F(RoundDone, ModeOneSkipsMissingAndTextMembersButKeepsTheCycle) {
  device_.b_mode_ = 1;
  device_.aiSignalMap_["露点"] = {"0123456789AB", "Dew point"};
  device_.aiSignalMap_["波特率"] = {"0123456789AC", "Baud"};
  device_.aiSignalMap_["更新时间"] = {"0123456789AD", "Time"};
  device_.aiSignalMap_["温度"] = {"0123456789AE", "Temperature"};
  device_.jsonData_["波特率"] = "9600";
  device_.jsonData_["更新时间"] = "2026-1-2 3:4:5";
  device_.jsonData_["温度"] = 20.0;
  EXPECT_EQ(Complete(), "rvSize is 0\n");
  EXPECT_THAT(
      Sequence(),
      ElementsAreArray(
          Join(kBody, {"GenJsonData", "CheckThreshold(0126456719AE, Temperature, 20, 1)"}, kTail)));
  // The missing name is now in the document, as a null member.
  ASSERT_TRUE(device_.jsonData_.isMember("露点"));
  EXPECT_TRUE(device_.jsonData_["露点"].isNull());
  EXPECT_EQ(device_.jsonData_["波特率"], "9600");
}

TEST_F(RoundDone, ModeFiveEvaluatesTheFourTablesInOrderUnderTheLock) {
  device_.b_mode_ = 5;
  device_.jsonData_["温度"] = 35.0;
  device_.jsonData_["湿度"] = 10.0;
  device_.low2ThresholdMap_["温度"] = ThresholdRule{"L2T", 40, 45, false, 4};
  device_.lowThresholdMap_["湿度"] = ThresholdRule{"L1H", 20, 25, false, 3};
  device_.up2ThresholdMap_["温度"] = ThresholdRule{"U2T", 40, 38, false, 2};
  device_.upThresholdMap_["湿度"] = ThresholdRule{"U1H", 90, 80, false, 1};
  device_.upThresholdMap_["温度"] = ThresholdRule{"U1T", 30, 28, false, 1};
  EXPECT_EQ(Complete(), "rvSize is 0\n");
  EXPECT_THAT(Sequence(),
              ElementsAreArray(Join(
                  kBody,
                  {"GenJsonData", "CheckThresholdBool(1, 温度, U1T, 35, 当前值35高于阈值:30, 1, 1)",
                   "CheckThresholdBool(1, 湿度, U1H, 10, , 0, 1)",
                   "CheckThresholdBool(2, 温度, U2T, 35, , 0, 1)",
                   "CheckThresholdBool(3, 湿度, L1H, 10, 当前值10低于阈值:20, 1, 1)",
                   "CheckThresholdBool(4, 温度, L2T, 35, 当前值35低于阈值:40, 1, 1)"},
                  kTail)));
  EXPECT_TRUE(std::get<3>(device_.upThresholdMap_["温度"]));
  EXPECT_FALSE(std::get<3>(device_.up2ThresholdMap_["温度"]));
}

// A controller that notes, for every question about a value, whether the document lock was held
// while the host was asked, and can fail like a host whose alarm store is gone.
class LockWatcher : public RecordingController {
 public:
  int CheckThreshold(SMDVDevice& device, const std::string& alarmId, const std::string& name,
                     float value, int kind) override {
    Watch("CheckThreshold");
    return RecordingController::CheckThreshold(device, alarmId, name, value, kind);
  }
  int CheckThresholdBool(SMDVDevice& device, int level, const std::string& signalName,
                         const std::string& alarmId, const std::string& valueText,
                         const std::string& alarmText, bool active, unsigned short kind) override {
    Watch("CheckThresholdBool");
    return RecordingController::CheckThresholdBool(device, level, signalName, alarmId, valueText,
                                                   alarmText, active, kind);
  }
  int CheckAOReport(SMDVDevice& device, const std::string& signalId, float value) override {
    Watch("CheckAOReport");
    return RecordingController::CheckAOReport(device, signalId, value);
  }

  DeviceProbe* probe = nullptr;
  std::string failIn;  // the operation that throws
  std::vector<std::string> seen;

 private:
  void Watch(const std::string& operation) {
    seen.push_back(operation + (LockedElsewhere(probe->jsonMutex_) ? " locked" : " unlocked"));
    if (operation == failIn) throw std::runtime_error("alarm store gone");
  }
};

class RoundDoneLock : public ::testing::Test {
 protected:
  RoundDoneLock() {
    controller->probe = &device;
    device.Init(controller, 7, Json::Value(Json::objectValue));
  }
  void Complete() {
    CapturedOutput([this] { device.RoundDone(); });
  }

  std::shared_ptr<LockWatcher> controller = std::make_shared<LockWatcher>();
  DeviceProbe device;
};

TEST_F(RoundDoneLock, ModeFiveAsksTheHostUnderTheDocumentLockAndAFailureReleasesIt) {
  device.b_mode_ = 5;
  device.jsonData_["温度"] = 35.0;
  device.upThresholdMap_["温度"] = ThresholdRule{"U", 30, 28, false, 1};
  device.lowThresholdMap_["温度"] = ThresholdRule{"L", 10, 12, false, 1};
  Complete();
  EXPECT_THAT(controller->seen,
              ElementsAre("CheckThresholdBool locked", "CheckThresholdBool locked"));

  controller->failIn = "CheckThresholdBool";
  controller->ClearCalls();
  device.ruleValues_.resize(2);
  EXPECT_THROW(Complete(), std::runtime_error);
  ASSERT_FALSE(LockedElsewhere(device.jsonMutex_)) << "the lock must be released on the way out";
  EXPECT_THAT(controller->CallTexts(), ElementsAre("SendSP(5156, <47 bytes>, 0)"));
  EXPECT_EQ(device.ruleValues_.size(), 2u);
}

// Mode 1 looks its signals up with the document's inserting operator[], which adds a member for
// a name the document lacks: the look-ups and the host's questions all belong under the lock.
TEST_F(RoundDoneLock, ModeOneAsksTheHostUnderTheDocumentLockAndAFailureReleasesIt) {
  device.b_mode_ = 1;
  device.aiSignalMap_["Alpha"] = {"0123456789AB", "Alpha"};
  device.aiSignalMap_["Beta"] = {"0123456789AC", "Beta"};
  device.aiSignalMap_["Missing"] = {"0123456789AD", "Missing"};
  device.jsonData_["Alpha"] = 1.0;
  device.jsonData_["Beta"] = 2.0;
  SMDVDevice::BAOSetting always;
  always.periodEnable = true;
  always.periodMinutes = -1.0f;
  device.baoSettings_["0123456789AB"] = always;
  device.baoSettings_["0123456789AC"] = always;
  Complete();
  EXPECT_THAT(controller->seen, ElementsAre("CheckThreshold locked", "CheckAOReport locked",
                                            "CheckThreshold locked", "CheckAOReport locked"));

  // A throwing host leaves the cycle at the question it failed, and the lock is released.
  const std::vector<std::pair<std::string, std::vector<std::string>>> failures = {
      {"CheckThreshold", {"CheckThreshold locked"}},
      {"CheckAOReport", {"CheckThreshold locked", "CheckAOReport locked"}}};
  for (const auto& [failing, questions] : failures) {
    controller->failIn = failing;
    controller->seen.clear();
    controller->ClearCalls();
    EXPECT_THROW(Complete(), std::runtime_error) << failing;
    ASSERT_FALSE(LockedElsewhere(device.jsonMutex_)) << failing;
    EXPECT_THAT(controller->seen, ElementsAreArray(questions)) << failing;
    EXPECT_THAT(controller->CallsOf("DoBatchCheckThreshold"), IsEmpty()) << failing;
  }
  // The lock is free again: a later cycle gets it and completes.
  controller->failIn.clear();
  controller->seen.clear();
  Complete();
  EXPECT_EQ(controller->seen.size(), 4u);
  EXPECT_EQ(controller->CallsOf("SaveDeviceHistory").size(), 1u);
}

TEST(RoundDoneWithoutController, CompletesQuietlyWithNothingToTell) {
  DeviceProbe device;
  device.b_mode_ = 3;
  ::testing::internal::CaptureStdout();
  device.RoundDone();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "rvSize is 0\n");
  EXPECT_TRUE(device.DataReady());
  EXPECT_FALSE(device.DataTime().is_not_a_date_time());
}

}  // namespace
