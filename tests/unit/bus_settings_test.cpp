// SPDX-License-Identifier: Apache-2.0
// The host's bus settings: defaults, accepted forms, and bad values that change nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/CapturedOutput.h"
#include "support/DeviceProbe.h"
#include "support/JsonText.h"

namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class HostBusSettings : public ::testing::Test {
 protected:
  int Apply(const std::string& json, std::string* output = nullptr) {
    const Json::Value settings = ParseJson(json);
    int result = 0;
    const std::string printed =
        CapturedOutput([&] { result = device.SPModbus::InitSetting(settings); });
    if (output != nullptr) *output = printed;
    return result;
  }
  void ExpectBus(int baud, EnumParity parity, int dataBits, int stopBits, int slave, int timeout,
                 const std::string& port) const {
    EXPECT_EQ(device.BaudRate(), baud);
    EXPECT_EQ(device.Parity(), parity);
    EXPECT_EQ(device.DataBits(), dataBits);
    EXPECT_EQ(device.StopBits(), stopBits);
    EXPECT_EQ(device.SlaveAddress(), slave);
    EXPECT_EQ(device.ResponseTimeoutMs(), timeout);
    EXPECT_EQ(device.PortPath(), port);
  }

  DeviceProbe device;
};

TEST_F(HostBusSettings, AbsentSettingsKeepTheDefaults) {
  for (const char* json : {"{}", R"({"busSetting": null})", R"({"busSetting": {}})", "[1]", "7"}) {
    std::string output;
    EXPECT_EQ(Apply(json, &output), 0) << json;
    EXPECT_EQ(output, "");
    ExpectBus(9600, PARITY_NONE, 8, 1, 1, 500, "");
  }
}

TEST_F(HostBusSettings, CompleteSettingsAreTaken) {
  EXPECT_EQ(Apply(R"({"busSetting": {"baudRate": 19200, "parity": "even", "dataBits": 7,
      "stopBits": 2, "slaveAddress": 247, "responseTimeoutMs": 1000, "port": "/dev/ttyS1"}})"),
            0);
  ExpectBus(19200, PARITY_EVEN, 7, 2, 247, 1000, "/dev/ttyS1");
  // Members left out keep what the last call set; numbers may come as decimal texts.
  EXPECT_EQ(Apply(R"({"busSetting": {"baudRate": "4800", "parity": "O", "slaveAddress": "3"}})"),
            0);
  ExpectBus(4800, PARITY_ODD, 7, 2, 3, 1000, "/dev/ttyS1");
  EXPECT_EQ(Apply(R"({"busSetting": {"parity": "None", "baudRate": 115200.0}})"), 0);
  ExpectBus(115200, PARITY_NONE, 7, 2, 3, 1000, "/dev/ttyS1");
}

TEST_F(HostBusSettings, NonsenseIsOneClearLineAndChangesNothing) {
  std::string output;
  EXPECT_EQ(Apply(R"({"busSetting": {"slaveAddress": 5, "baudRate": 12345}})", &output), -1);
  EXPECT_EQ(output,
            "busSetting rejected: \"baudRate\" must be one of 300 600 1200 2400 4800 9600 19200 "
            "38400 57600 115200 230400, got 12345; bus settings unchanged\n");
  ExpectBus(9600, PARITY_NONE, 8, 1, 1, 500, "");

  const std::pair<const char*, const char*> bad[] = {
      {R"({"busSetting": 5})", "\"busSetting\" must be an object, got 5"},
      {R"({"busSetting": {"baudRate": "9600baud"}})", "\"baudRate\""},
      {R"({"busSetting": {"baudRate": true}})", "\"baudRate\""},
      {R"({"busSetting": {"parity": "mark"}})", "\"parity\" must be \"none\", \"odd\" or \"even\""},
      {R"({"busSetting": {"parity": 1}})", "\"parity\""},
      {R"({"busSetting": {"dataBits": 9}})", "\"dataBits\" must be a whole number from 7 to 8"},
      {R"({"busSetting": {"stopBits": 1.5}})", "\"stopBits\" must be a whole number from 1 to 2"},
      {R"({"busSetting": {"slaveAddress": 0}})", "\"slaveAddress\""},
      {R"({"busSetting": {"slaveAddress": "248"}})", "\"slaveAddress\""},
      {R"({"busSetting": {"slaveAddress": "99999999999999999999999"}})", "\"slaveAddress\""},
      {R"({"busSetting": {"responseTimeoutMs": -1}})", "\"responseTimeoutMs\""},
      {R"({"busSetting": {"responseTimeoutMs": [500]}})", "\"responseTimeoutMs\""},
      {R"({"busSetting": {"port": ""}})", "\"port\" must be the path of a serial device"},
      {R"({"busSetting": {"port": {"path": "/dev/x"}}})", "\"port\""},
  };
  for (const auto& [json, reason] : bad) {
    EXPECT_EQ(Apply(json, &output), -1) << json;
    EXPECT_THAT(output, StartsWith(std::string("busSetting rejected: ") + reason)) << json;
    EXPECT_THAT(output, EndsWith("; bus settings unchanged\n")) << json;
    EXPECT_EQ(output.find('\n'), output.size() - 1) << "one line for " << json;
    ExpectBus(9600, PARITY_NONE, 8, 1, 1, 500, "");
  }
}

TEST_F(HostBusSettings, DeviceConfigurationReturnsTheHostResult) {
  std::string output;
  const std::string settings =
      R"({"appSetting": {"b_mode": 4}, "busSetting": {"stopBits": 3, "baudRate": 2400}})";
  const Json::Value document = ParseJson(settings);
  int result = 0;
  output = CapturedOutput([&] { result = device.InitSetting(document); });
  EXPECT_EQ(result, -1);
  EXPECT_THAT(output, HasSubstr("\"stopBits\""));
  EXPECT_EQ(device.BaudRate(), 9600);
}

}  // namespace
