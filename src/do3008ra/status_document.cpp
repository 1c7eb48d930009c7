#include <mutex>
#include <sstream>
#include <string>

#include "do3008ra/DO3008RA.h"

namespace {

// Index = baud code of register 2001. Code 7 is the slowest rate; it was added after the others.
const char* const kBaudRates[] = {"2400",  "4800",  "9600",   "19200",
                                  "38400", "57600", "115200", "1200"};
constexpr unsigned kBaudCodes = sizeof kBaudRates / sizeof kBaudRates[0];

// Tenths to units in single precision, as the readers of the document expect the figures: raw
// 234 reads 23.399999618530273, not 23.4.
double Tenths(uint16_t raw) {
  const float units = static_cast<float>(raw) / 10.0f;
  return static_cast<double>(units);
}

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
  jsonData_["湿度"] = Tenths(data_.inputMeasure[0]);
  jsonData_["温度"] = Tenths(data_.inputMeasure[1]);
  jsonData_["气压"] = Tenths(data_.inputMeasure[3]);
  jsonData_["温度校准值"] = Tenths(data_.inputCalib[0]);
  jsonData_["湿度校准值"] = Tenths(data_.inputCalib[1]);
  jsonData_["气压校准值"] = Tenths(data_.inputCalib[2]);
  jsonData_["设备地址"] = static_cast<double>(data_.inputBus[0]);
  jsonData_["波特率"] = BaudText(data_.inputBus[1]);
  jsonData_["更新时间"] = UpdateTimeText(data_.time);
}
