// SPDX-License-Identifier: Apache-2.0
#pragma once
// How the sensor's raw registers read as values. The plug-in's status document and every reader
// of stored records (the reference host's console, store columns and exports) take the values
// from `TenthsOf`, so that a register never reads with a sign in one place and without in another.

#include <cstdint>

#include "do3008ra/DO3008RA_Data_t.h"

namespace do3008ra {

// Temperature and the three calibration offsets go below zero: the sensor sends them as 16-bit
// two's complement (-5.0 degrees is 65486). Humidity and pressure never do and stay unsigned.
inline int32_t SignedRegister(uint16_t raw) {
  return raw >= 0x8000u ? static_cast<int32_t>(raw) - 0x10000 : static_cast<int32_t>(raw);
}

// The input copies of a record (function 04) in tenths of their unit, sign applied.
struct Tenths {
  int32_t humidity;                // register 0
  int32_t temperature;             // register 1, signed
  int32_t pressure;                // register 3
  int32_t temperatureCalibration;  // register 80, signed
  int32_t humidityCalibration;     // register 81, signed
  int32_t pressureCalibration;     // register 82, signed
};

inline Tenths TenthsOf(const DO3008RA_Data_t& record) {
  return Tenths{record.inputMeasure[0],
                SignedRegister(record.inputMeasure[1]),
                record.inputMeasure[3],
                SignedRegister(record.inputCalib[0]),
                SignedRegister(record.inputCalib[1]),
                SignedRegister(record.inputCalib[2])};
}

// The status document's figure: divided in single precision and widened, so raw 234 reads
// 23.399999618530273, as the alarm checks that compare floats see it.
inline double DocumentFigure(int32_t tenths) {
  return static_cast<double>(static_cast<float>(tenths) / 10.0f);
}

// The figure for people and stores: the nearest double to the same tenths (23.4).
inline double DecimalFigure(int32_t tenths) { return tenths / 10.0; }

}  // namespace do3008ra
