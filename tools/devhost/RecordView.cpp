#include "RecordView.h"

namespace {

double Tenths(const unsigned char* data, std::size_t offset) {
  return RecordWord(data, offset) / 10.0;
}

std::string Stamp(const unsigned char* data) {
  return std::to_string(RecordWord(data, 40)) + "-" + std::to_string(data[42]) + "-" +
         std::to_string(data[43]) + " " + std::to_string(data[44]) + ":" +
         std::to_string(data[45]) + ":" + std::to_string(data[46]);
}

}  // namespace

uint16_t RecordWord(const unsigned char* data, std::size_t offset) {
  return static_cast<uint16_t>(data[offset] | (data[offset + 1] << 8));
}

std::optional<RecordValues> DecodeRecord(const unsigned char* data, std::size_t length) {
  if (data == nullptr || length != kRecordLength) return std::nullopt;
  RecordValues values;
  values.dataId = static_cast<uint32_t>(RecordWord(data, 0)) |
                  (static_cast<uint32_t>(RecordWord(data, 2)) << 16);
  values.humidity = Tenths(data, 12);
  values.temperature = Tenths(data, 14);
  values.pressure = Tenths(data, 18);
  values.temperatureCalibration = Tenths(data, 26);
  values.humidityCalibration = Tenths(data, 28);
  values.pressureCalibration = Tenths(data, 30);
  values.address = RecordWord(data, 36);
  values.baudCode = RecordWord(data, 38);
  values.stamp = Stamp(data);
  return values;
}
