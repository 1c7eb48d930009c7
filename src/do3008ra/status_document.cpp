#include <mutex>
#include <sstream>
#include <string>

#include "do3008ra/DO3008RA.h"
#include "do3008ra/register_values.h"

namespace {

// Index = baud code of register 2001. Code 7 is the slowest rate; it was added after the others.
const char* const kBaudRates[] = {"2400",  "4800",  "9600",   "19200",
                                  "38400", "57600", "115200", "1200"};
constexpr unsigned kBaudCodes = sizeof kBaudRates / sizeof kBaudRates[0];

std::string BaudText(uint16_t code) { return code < kBaudCodes ? kBaudRates[code] : "无效值"; }

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
  jsonData_["湿度"] = do3008ra::DocumentFigure(tenths.humidity);
  jsonData_["温度"] = do3008ra::DocumentFigure(tenths.temperature);
  jsonData_["气压"] = do3008ra::DocumentFigure(tenths.pressure);
  jsonData_["温度校准值"] = do3008ra::DocumentFigure(tenths.temperatureCalibration);
  jsonData_["湿度校准值"] = do3008ra::DocumentFigure(tenths.humidityCalibration);
  jsonData_["气压校准值"] = do3008ra::DocumentFigure(tenths.pressureCalibration);
  jsonData_["设备地址"] = static_cast<double>(data_.inputBus[0]);
  jsonData_["波特率"] = BaudText(data_.inputBus[1]);
  jsonData_["更新时间"] = UpdateTimeText(data_.time);
}
