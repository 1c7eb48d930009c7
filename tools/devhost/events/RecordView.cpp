#include "events/RecordView.h"

#include <cstdio>
#include <cstring>

#include "do3008ra/register_values.h"

namespace {

// ISO 8601, like every other time in CSV and JSON.
std::string RecordTimeText(const TTime& time) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", static_cast<int>(time.year),
                static_cast<int>(time.month), static_cast<int>(time.day),
                static_cast<int>(time.hour), static_cast<int>(time.minute),
                static_cast<int>(time.second));
  return text;
}

}  // namespace

std::optional<unsigned> BaudRateOfCode(unsigned code) {
  // Code 7, the slowest rate, was added after the others.
  constexpr unsigned kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 1200};
  if (code >= sizeof kRates / sizeof kRates[0]) return std::nullopt;
  return kRates[code];
}

uint16_t RecordWord(const unsigned char* data, std::size_t offset) {
  return static_cast<uint16_t>(data[offset] | (data[offset + 1] << 8));
}

std::optional<RecordValues> DecodeRecord(const unsigned char* data, std::size_t length) {
  if (data == nullptr || length != kRecordLength) return std::nullopt;
  // The plug-in's own reading of its registers, so the host never shows a sign another way.
  DO3008RA_Data_t record;
  std::memcpy(&record, data, sizeof record);
  const do3008ra::Tenths tenths = do3008ra::TenthsOf(record);
  RecordValues values;
  values.dataId = record.dataId;
  values.humidity = do3008ra::DecimalFigure(tenths.humidity);
  values.temperature = do3008ra::DecimalFigure(tenths.temperature);
  values.pressure = do3008ra::DecimalFigure(tenths.pressure);
  values.temperatureCalibration = do3008ra::DecimalFigure(tenths.temperatureCalibration);
  values.humidityCalibration = do3008ra::DecimalFigure(tenths.humidityCalibration);
  values.pressureCalibration = do3008ra::DecimalFigure(tenths.pressureCalibration);
  values.address = record.inputBus[0];
  values.baudCode = record.inputBus[1];
  values.recordTime = RecordTimeText(record.time);
  return values;
}
