// The built do3008ra.so, loaded the way the controller loads it.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

#include "host/PluginLibrary.h"
#include "host/RecordingController.h"
#include "host/SMDVDevice.h"

namespace {

TEST(PluginLoading, GetProvidersIsFoundAndGivesOneNewProviderPerCall) {
  PluginLibrary library(DO3008RA_PLUGIN_PATH);
  auto first = library.Providers();
  auto second = library.Providers();
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(second.size(), 1u);
  EXPECT_NE(first[0].get(), second[0].get());
}

TEST(PluginLoading, CreatedDeviceIsADO3008RA) {
  PluginLibrary library(DO3008RA_PLUGIN_PATH);
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

}  // namespace
