// SPDX-License-Identifier: Apache-2.0
#include <mutex>
#include <sstream>
#include <string>

#include "do3008ra/DO3008RA.h"
#include "do3008ra/register_values.h"

namespace {

// The rate of the baud code in register 2001 as decimal text ("9600").
std::string BaudText(uint16_t code) {
  const int baud = do3008ra::BaudOfCode(code);
  return baud != 0 ? std::to_string(baud) : "无效值";
}

// Plain decimal numbers, no padding: 2026-1-2 3:4:5.
std::string UpdateTimeText(const TTime& time) {
  std::ostringstream text;
  text << static_cast<unsigned>(time.year) << '-' << static_cast<unsigned>(time.month) << '-'
       << static_cast<unsigned>(time.day) << ' ' << static_cast<unsigned>(time.hour) << ':'
       << static_cast<unsigned>(time.minute) << ':' << static_cast<unsigned>(time.second);
  return text.str();
}

}  // namespace

void DO3008RA::GenJsonData() {
  std::lock_guard<std::mutex> lock(jsonMutex_);
  // At most one rebuild per completed cycle: the document follows the data time, not the record.
  const boost::posix_time::ptime dataTime = dataTime_.load();
  if (dataTime == jsonTime_) return;
  jsonTime_ = dataTime;
  FillStatusDocument();
}

void DO3008RA::FillStatusDocument() {
  // Members are overwritten in place; members that others added to the document stay.
  const do3008ra::Tenths tenths = do3008ra::TenthsOf(data_);
  using namespace do3008ra;
  jsonData_[kHumidityName] = DocumentFigure(tenths.humidity);
  jsonData_[kTemperatureName] = DocumentFigure(tenths.temperature);
  jsonData_[kPressureName] = DocumentFigure(tenths.pressure);
  jsonData_[kTemperatureCalibrationName] = DocumentFigure(tenths.temperatureCalibration);
  jsonData_[kHumidityCalibrationName] = DocumentFigure(tenths.humidityCalibration);
  jsonData_[kPressureCalibrationName] = DocumentFigure(tenths.pressureCalibration);
  jsonData_[kAddressName] = static_cast<double>(data_.inputBus[0]);
  jsonData_[kBaudRateName] = BaudText(data_.inputBus[1]);
  jsonData_["更新时间"] = UpdateTimeText(data_.time);
}
