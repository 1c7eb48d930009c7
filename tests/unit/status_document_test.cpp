// SPDX-License-Identifier: Apache-2.0
// The status document: when it is rebuilt, the figures and texts it shows, and what it keeps.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "support/DeviceProbe.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::seconds;
using ::testing::UnorderedElementsAre;

const ptime kCycleTime(boost::gregorian::date(2026, 3, 14), boost::posix_time::hours(15));

// Marks a completed cycle the way cycle completion does: a new data time.
void CompleteCycle(DeviceProbe& device, const ptime& time = kCycleTime) {
  device.dataTime_.store(time);
}

void StampRecord(DeviceProbe& device, uint16_t year, uint8_t month, uint8_t day, uint8_t hour,
                 uint8_t minute, uint8_t second) {
  device.data_.time.year = year;
  device.data_.time.month = month;
  device.data_.time.day = day;
  device.data_.time.hour = hour;
  device.data_.time.minute = minute;
  device.data_.time.second = second;
}

// ---- when the document is rebuilt --------------------------------------------------------------

TEST(StatusDocument, StaysNullUntilTheFirstCompletedCycle) {
  DeviceProbe device;
  device.data_.inputMeasure[1] = 234;
  device.GenJsonData();
  device.GenJsonData();
  EXPECT_TRUE(device.jsonData_.isNull());
  EXPECT_TRUE(device.jsonTime_.is_not_a_date_time());
}

TEST(StatusDocument, RebuildsOnlyWhenTheDataTimeHasMoved) {
  DeviceProbe device;
  device.data_.inputMeasure[1] = 234;
  CompleteCycle(device);
  device.GenJsonData();
  EXPECT_EQ(device.jsonTime_, kCycleTime);
  EXPECT_EQ(device.jsonData_["温度"].asDouble(), 23.399999618530273);

  device.data_.inputMeasure[1] = 235;  // record changes, same cycle
  device.GenJsonData();
  EXPECT_EQ(device.jsonData_["温度"].asDouble(), 23.399999618530273);

  CompleteCycle(device, kCycleTime + seconds(1));
  device.GenJsonData();
  EXPECT_EQ(device.jsonData_["温度"].asDouble(), 23.5);
  EXPECT_EQ(device.jsonTime_, kCycleTime + seconds(1));

  // A data time set back is a move too.
  device.data_.inputMeasure[1] = 10;
  CompleteCycle(device, kCycleTime);
  device.GenJsonData();
  EXPECT_EQ(device.jsonData_["温度"].asDouble(), 1.0);
}

TEST(StatusDocument, LockIsFreeAfterARebuild) {
  DeviceProbe device;
  CompleteCycle(device);
  device.GenJsonData();
  device.GenJsonData();  // the unchanged path returns early
  ASSERT_TRUE(device.jsonMutex_.try_lock());
  device.jsonMutex_.unlock();
}

// ---- figures ---------------------------------------------------------------------------------

TEST(StatusDocument, NineMembersFromTheInputCopiesOnly) {
  DeviceProbe device;
  const uint16_t holding = 9999;  // function 03 copies differ and must not show
  for (auto& word : device.data_.holdingMeasure) word = holding;
  for (auto& word : device.data_.holdingCalib) word = holding;
  for (auto& word : device.data_.holdingBus) word = holding;
  device.data_.inputMeasure[0] = 456;  // humidity
  device.data_.inputMeasure[1] = 234;  // temperature
  device.data_.inputMeasure[2] = 777;  // register 2: shown nowhere
  device.data_.inputMeasure[3] = 10132;
  device.data_.inputCalib[0] = 11;  // temperature calibration
  device.data_.inputCalib[1] = 22;  // humidity calibration
  device.data_.inputCalib[2] = 33;  // pressure calibration
  device.data_.inputBus[0] = 17;
  device.data_.inputBus[1] = 3;
  StampRecord(device, 2026, 12, 6, 9, 5, 3);
  CompleteCycle(device);
  device.GenJsonData();

  const Json::Value& doc = device.jsonData_;
  ASSERT_TRUE(doc.isObject());
  EXPECT_THAT(doc.getMemberNames(),
              UnorderedElementsAre("湿度", "温度", "气压", "温度校准值", "湿度校准值", "气压校准值",
                                   "设备地址", "波特率", "更新时间"));
  EXPECT_EQ(doc["湿度"].asDouble(), static_cast<double>(45.6f));
  EXPECT_EQ(doc["温度"].asDouble(), 23.399999618530273);
  EXPECT_EQ(doc["气压"].asDouble(), static_cast<double>(1013.2f));
  EXPECT_EQ(doc["温度校准值"].asDouble(), static_cast<double>(1.1f));
  EXPECT_EQ(doc["湿度校准值"].asDouble(), static_cast<double>(2.2f));
  EXPECT_EQ(doc["气压校准值"].asDouble(), static_cast<double>(3.3f));
  EXPECT_TRUE(doc["设备地址"].isDouble());
  EXPECT_EQ(doc["设备地址"].asDouble(), 17.0);
  EXPECT_EQ(doc["波特率"].asString(), "19200");
  EXPECT_EQ(doc["更新时间"].asString(), "2026-12-6 9:5:3");
}

// Temperature and the calibration offsets are two's complement: the sensor reports -5.0 degrees
// as 65486. Read unsigned, as they once were, a freezing room showed 6548.6 degrees, raised the
// high-temperature alarm and could never raise the low one; 0xFFFF now reads -0.1, not 6553.5.
TEST(StatusDocument, TemperatureAndCalibrationsAreSignedInSinglePrecision) {
  struct Case {
    uint16_t raw;
    double shown;
  };
  const Case cases[] = {{234, 23.399999618530273},
                        {235, 23.5},
                        {0xFFFF, static_cast<double>(-0.1f)},
                        {65486, -5.0},
                        {65531, -0.5},
                        {32767, static_cast<double>(3276.7f)},
                        {32768, -3276.8000488281250},
                        {1, 0.10000000149011612},
                        {0, 0.0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    DeviceProbe device;
    device.data_.inputMeasure[1] = c.raw;
    for (auto& calibration : device.data_.inputCalib) calibration = c.raw;
    CompleteCycle(device);
    device.GenJsonData();
    EXPECT_EQ(device.jsonData_["温度"].asDouble(), c.shown);
    EXPECT_EQ(device.jsonData_["温度校准值"].asDouble(), c.shown);
    EXPECT_EQ(device.jsonData_["湿度校准值"].asDouble(), c.shown);
    EXPECT_EQ(device.jsonData_["气压校准值"].asDouble(), c.shown);
  }
}

// Humidity, pressure and the address never go below zero and keep their whole unsigned range.
TEST(StatusDocument, HumidityPressureAndAddressStayUnsigned) {
  struct Case {
    uint16_t raw;
    double shown;
  };
  const Case cases[] = {{0xFFFF, 6553.5}, {0x8000, 3276.8000488281250}, {234, 23.399999618530273}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.raw);
    DeviceProbe device;
    device.data_.inputMeasure[0] = c.raw;
    device.data_.inputMeasure[3] = c.raw;
    device.data_.inputBus[0] = c.raw;
    CompleteCycle(device);
    device.GenJsonData();
    EXPECT_EQ(device.jsonData_["湿度"].asDouble(), c.shown);
    EXPECT_EQ(device.jsonData_["气压"].asDouble(), c.shown);
    EXPECT_EQ(device.jsonData_["设备地址"].asDouble(), static_cast<double>(c.raw));
  }
}

TEST(StatusDocument, BaudCodesFollowTheTableAndTheRestAreInvalid) {
  const std::vector<std::pair<uint16_t, std::string>> codes = {
      {0, "2400"},   {1, "4800"}, {2, "9600"},   {3, "19200"},  {4, "38400"},    {5, "57600"},
      {6, "115200"}, {7, "1200"}, {8, "无效值"}, {9, "无效值"}, {256, "无效值"}, {65535, "无效值"}};
  for (const auto& [code, text] : codes) {
    SCOPED_TRACE(code);
    DeviceProbe device;
    device.data_.inputBus[1] = code;
    device.data_.holdingBus[1] = 2;  // the holding copy must not be used
    CompleteCycle(device);
    device.GenJsonData();
    EXPECT_EQ(device.jsonData_["波特率"].asString(), text);
  }
}

TEST(StatusDocument, UpdateTimeIsUnpaddedDecimal) {
  struct Case {
    uint16_t year;
    uint8_t month, day, hour, minute, second;
    const char* text;
  };
  const Case cases[] = {{2026, 1, 2, 3, 4, 5, "2026-1-2 3:4:5"},
                        {2026, 12, 6, 9, 5, 3, "2026-12-6 9:5:3"},
                        {1999, 10, 31, 23, 59, 59, "1999-10-31 23:59:59"},
                        {65535, 255, 255, 255, 255, 255, "65535-255-255 255:255:255"}};
  for (const auto& c : cases) {
    DeviceProbe device;
    StampRecord(device, c.year, c.month, c.day, c.hour, c.minute, c.second);
    CompleteCycle(device);
    device.GenJsonData();
    EXPECT_EQ(device.jsonData_["更新时间"].asString(), c.text);
  }
}

TEST(StatusDocument, AllZeroRecordGivesZerosAndTheFirstBaudRate) {
  DeviceProbe device;
  CompleteCycle(device);
  device.GenJsonData();
  for (const char* key :
       {"湿度", "温度", "气压", "温度校准值", "湿度校准值", "气压校准值", "设备地址"}) {
    EXPECT_EQ(device.jsonData_[key].asDouble(), 0.0) << key;
  }
  EXPECT_EQ(device.jsonData_["波特率"].asString(), "2400");
  EXPECT_EQ(device.jsonData_["更新时间"].asString(), "0-0-0 0:0:0");
}

// ---- what a rebuild keeps ----------------------------------------------------------------------

TEST(StatusDocument, MembersAddedByOthersSurviveARebuild) {
  DeviceProbe device;
  CompleteCycle(device);
  device.GenJsonData();
  device.jsonData_["露点"];  // a look-up of an unknown signal adds it as null
  device.jsonData_["温度"] = "overwritten";
  device.data_.inputMeasure[1] = 235;
  CompleteCycle(device, kCycleTime + seconds(60));
  device.GenJsonData();
  EXPECT_TRUE(device.jsonData_.isMember("露点"));
  EXPECT_TRUE(device.jsonData_["露点"].isNull());
  EXPECT_EQ(device.jsonData_["温度"].asDouble(), 23.5);
  EXPECT_EQ(device.jsonData_.size(), 10u);
}

}  // namespace
