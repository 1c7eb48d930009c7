#include "events/RecordView.h"

#include <cstring>

#include "do3008ra/register_values.h"

namespace {

std::string Stamp(const TTime& time) {
  return std::to_string(time.year) + "-" + std::to_string(time.month) + "-" +
         std::to_string(time.day) + " " + std::to_string(time.hour) + ":" +
         std::to_string(time.minute) + ":" + std::to_string(time.second);
}

}  // namespace

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
  values.stamp = Stamp(record.time);
  return values;
}
