#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// The values of a DO3008RA measurement record (47 bytes, little-endian), decoded for people and
// for queries: the input copies, signed where the device's status document signs them, in
// decimal tenths (23.4, where the document's single-precision figure is 23.399999618530273).
struct RecordValues {
  uint32_t dataId = 0;
  double temperature = 0;  // input register 1 / 10, signed
  double humidity = 0;     // input register 0 / 10
  double pressure = 0;     // input register 3 / 10
  double temperatureCalibration = 0;
  double humidityCalibration = 0;
  double pressureCalibration = 0;
  unsigned address = 0;
  unsigned baudCode = 0;
  std::string recordTime;  // the record's own time stamp, ISO 8601: "2026-12-06T09:05:03"
};

constexpr std::size_t kRecordLength = 47;

// Nothing for a record of another length (another device type).
std::optional<RecordValues> DecodeRecord(const unsigned char* data, std::size_t length);
// The baud rate a record's baud code stands for, as the status document names it; nothing for a
// code the device does not define.
std::optional<unsigned> BaudRateOfCode(unsigned code);
uint16_t RecordWord(const unsigned char* data, std::size_t offset);
