// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>

#include "do3008ra/sensor_facts.h"
#include "host/TTime.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the record is little-endian and is copied as it lies in memory");

#pragma pack(push, 1)
// The sensor's measurement record: in memory, in SendSP under code 5156, in the history and in
// the cache, always these 47 bytes. Register values are raw, each block read once as holding
// registers (function 03) and once as input registers (function 04).
struct DO3008RA_Data_t {
  uint32_t dataId;
  // registers 0-3: humidity, temperature, register 2, pressure
  uint16_t holdingMeasure[do3008ra::kMeasuredBlock.count];
  uint16_t inputMeasure[do3008ra::kMeasuredBlock.count];
  // registers 80-82: temperature, humidity, pressure calibration
  uint16_t holdingCalib[do3008ra::kCalibrationBlock.count];
  uint16_t inputCalib[do3008ra::kCalibrationBlock.count];
  // registers 2000-2001: device address, baud-rate code
  uint16_t holdingBus[do3008ra::kBusBlock.count];
  uint16_t inputBus[do3008ra::kBusBlock.count];
  TTime time;  // local time of the last completed cycle
};
#pragma pack(pop)

static_assert(sizeof(DO3008RA_Data_t) == do3008ra::kRecordLength, "the record is exactly 47 bytes");
static_assert(alignof(DO3008RA_Data_t) == 1, "the record has no alignment requirement");
static_assert(offsetof(DO3008RA_Data_t, holdingMeasure) == 4, "layout");
static_assert(offsetof(DO3008RA_Data_t, inputMeasure) == 12, "layout");
static_assert(offsetof(DO3008RA_Data_t, holdingCalib) == 20, "layout");
static_assert(offsetof(DO3008RA_Data_t, inputCalib) == 26, "layout");
static_assert(offsetof(DO3008RA_Data_t, holdingBus) == 32, "layout");
static_assert(offsetof(DO3008RA_Data_t, inputBus) == 36, "layout");
static_assert(offsetof(DO3008RA_Data_t, time) == 40, "layout");
