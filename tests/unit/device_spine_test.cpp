// SPDX-License-Identifier: Apache-2.0
// Construction, record and configuration entry of the device object.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "do3008ra/DO3008RAProvider.h"
#include "support/DeviceProbe.h"

namespace {

using ::testing::Each;

TEST(DeviceSpine, FreshDeviceHasItsInitialState) {
  DeviceProbe device;
  EXPECT_EQ(device.DeviceType(), "do3008ra");
  EXPECT_EQ(device.baudRate_, 9600);
  EXPECT_EQ(device.keepPortOpen_, 1);
  EXPECT_EQ(device.writeResult_, -1);
  EXPECT_EQ(device.writeExpect_, -1);
  EXPECT_EQ(device.b_mode_, 1);
  EXPECT_EQ(device.Record().size(), 47u);
  EXPECT_THAT(device.Record(), Each(0));
  EXPECT_TRUE(device.jsonData_.isNull());
  EXPECT_TRUE(device.jsonTime_.is_not_a_date_time());
  EXPECT_TRUE(device.aiSignalMap_.empty());
  EXPECT_TRUE(device.upThresholdMap_.empty());
  EXPECT_TRUE(device.nmAlarmIdMap_.empty());
  EXPECT_FALSE(device.DataReady());
  EXPECT_TRUE(device.DataTime().is_not_a_date_time());
}

TEST(DeviceSpine, FreshDeviceQueryThrowsNotReady) {
  DeviceProbe device;
  try {
    device.Get_Value(0, "");
    FAIL() << "Get_Value returned";
  } catch (const std::out_of_range& error) {
    EXPECT_STREQ(error.what(), "数据未就绪");
  }
}

TEST(DeviceSpine, MembersLieInDeclarationOrder) {
  DeviceProbe d;
  const std::vector<const void*> addresses = {&d.data_,
                                              &d.b_mode_,
                                              &d.nmAlarmIdMap_,
                                              &d.signalNameMap_,
                                              &d.alarmSignalIdMap_,
                                              &d.upThresholdMap_,
                                              &d.up2ThresholdMap_,
                                              &d.lowThresholdMap_,
                                              &d.low2ThresholdMap_,
                                              &d.jsonTime_,
                                              &d.jsonMutex_,
                                              &d.jsonData_,
                                              &d.aiSignalMap_,
                                              &d.writeResult_,
                                              &d.writeExpect_};
  for (size_t i = 1; i < addresses.size(); ++i) {
    EXPECT_LT(addresses[i - 1], addresses[i]) << "member " << i;
  }
  // The host flag the constructor sets lies directly after step_.
  EXPECT_EQ(reinterpret_cast<const char*>(&d.keepPortOpen_),
            reinterpret_cast<const char*>(&d.step_) + sizeof d.step_);
}

TEST(DeviceSpine, InitSettingStampsDataIdWhateverTheSettings) {
  const std::vector<Json::Value> unusable = {Json::Value(Json::objectValue), Json::Value(),
                                             Json::Value("text"), Json::Value(5),
                                             Json::Value(Json::arrayValue)};
  for (const auto& settings : unusable) {
    AttachedDevice attached(0x12345678);
    ::testing::internal::CaptureStdout();
    try {
      attached.device.InitSetting(settings);
    } catch (const std::exception&) {
      // Settings the JSON library cannot look into may throw; the stamp comes first.
    }
    ::testing::internal::GetCapturedStdout();
    const auto record = attached.device.Record();
    EXPECT_EQ(record[0], 0x78);
    EXPECT_EQ(record[1], 0x56);
    EXPECT_EQ(record[2], 0x34);
    EXPECT_EQ(record[3], 0x12);
    EXPECT_EQ(attached.device.data_.dataId, attached.device.DataId());
  }
}

TEST(DeviceSpine, RunCheckThresholdHasNoEffect) {
  AttachedDevice attached;
  const auto before = attached.device.Record();
  attached.device.RunCheckThreshold();
  EXPECT_EQ(attached.device.Record(), before);
  EXPECT_TRUE(attached.controller->Calls().empty());
}

TEST(DeviceSpine, ProvidersAreDistinctAndCreateIndependentDevices) {
  auto first = get_providers();
  auto second = get_providers();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(first[0].get(), second[0].get());
  EXPECT_EQ(first[0].use_count(), 1);
  std::unique_ptr<VDeviceInterface> a(first[0]->create());
  std::unique_ptr<VDeviceInterface> b(first[0]->create());
  EXPECT_NE(a.get(), b.get());
  EXPECT_EQ(a->DeviceType(), "do3008ra");
}

}  // namespace
