// SPDX-License-Identifier: Apache-2.0
// The built do3008ra.so, loaded the way the controller loads it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/PluginLibrary.h"
#include "host/RecordingController.h"
#include "host/SMDVDevice.h"

namespace {

// The plug-in of this build, or another copy of it named by DO3008RA_PLUGIN (the one unpacked
// from its Debian package, tests/package/check_package.sh).
std::string PluginPath() {
  const char* other = std::getenv("DO3008RA_PLUGIN");
  return other != nullptr && *other != '\0' ? other : DO3008RA_PLUGIN_PATH;
}

TEST(PluginLoading, GetProvidersIsFoundAndGivesOneNewProviderPerCall) {
  PluginLibrary library(PluginPath());
  auto first = library.Providers();
  auto second = library.Providers();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(first[0].get(), second[0].get());
}

TEST(PluginLoading, CreatedDeviceIsADO3008RA) {
  PluginLibrary library(PluginPath());
  auto providers = library.Providers();
  std::unique_ptr<VDeviceInterface> device(providers[0]->create());
  EXPECT_EQ(device->DeviceType(), "do3008ra");
  try {
    device->Get_Value(0, "");
    FAIL() << "Get_Value returned";
  } catch (const std::out_of_range& error) {
    EXPECT_STREQ(error.what(), "数据未就绪");
  }
  auto* configurable = dynamic_cast<SMDVDevice*>(device.get());
  ASSERT_NE(configurable, nullptr);
  auto controller = std::make_shared<RecordingController>();
  configurable->Init(controller, 4711, Json::Value(Json::objectValue));
  EXPECT_EQ(device->DataId(), 4711u);
}

TEST(PluginLoading, MissingFileOrEntryIsAClearError) {
  EXPECT_THROW(PluginLibrary("/nonexistent/plugin.so"), std::runtime_error);
  try {
    PluginLibrary library("libm.so.6");
    FAIL() << "a library without get_providers loaded";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("get_providers"), std::string::npos);
  }
}

TEST(PluginLoading, FreshDeviceHandsOverItsDataIdAndAZeroRecordAndTakesItBackFromCache) {
  PluginLibrary library(PluginPath());
  auto providers = library.Providers();
  std::unique_ptr<VDeviceInterface> device(providers[0]->create());
  auto* configurable = dynamic_cast<SMDVDevice*>(device.get());
  ASSERT_NE(configurable, nullptr);
  auto controller = std::make_shared<RecordingController>();
  configurable->Init(controller, 0x0A0B0C0D, Json::Value(Json::objectValue));

  ::testing::internal::CaptureStdout();
  configurable->InitSetting(Json::Value(Json::objectValue));
  device->RoundDone();
  ::testing::internal::GetCapturedStdout();
  auto sent = controller->CallsOf("SendSP");
  ASSERT_EQ(sent.size(), 1u);
  const std::vector<unsigned char> record = sent[0].bytes;
  ASSERT_EQ(record.size(), 47u);
  const uint32_t id = device->DataId();
  const std::vector<unsigned char> idBytes = {
      static_cast<unsigned char>(id), static_cast<unsigned char>(id >> 8),
      static_cast<unsigned char>(id >> 16), static_cast<unsigned char>(id >> 24)};
  EXPECT_EQ(std::vector<unsigned char>(record.begin(), record.begin() + 4), idBytes);
  EXPECT_EQ(std::vector<unsigned char>(record.begin() + 4, record.begin() + 40),
            std::vector<unsigned char>(36, 0));
  EXPECT_EQ(controller->CallsOf("SaveDeviceHistory").at(0).bytes, record);

  // What the host was handed is a cache blob the device takes back whole.
  const std::string blob(record.begin(), record.end());
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(device->LoadFromCache(blob.substr(1)), 0);
  EXPECT_EQ(device->LoadFromCache(blob), 1);
  ::testing::internal::GetCapturedStdout();
  sent = controller->CallsOf("SendSP");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(std::vector<unsigned char>(sent[1].bytes.begin(), sent[1].bytes.begin() + 40),
            std::vector<unsigned char>(record.begin(), record.begin() + 40));
}

}  // namespace
