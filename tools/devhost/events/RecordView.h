// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "events/DeviceTypes.h"

// A record decoded for people and for queries by its device type (events/DeviceTypes.h): one
// value per field of the type, in the type's order, and the record's own time stamp. Decimal
// values are the nearest double to the device's tenths (23.4, where the DO3008RA's status
// document shows its single-precision figure 23.399999618530273).
struct RecordValues {
  const DeviceType* type = nullptr;  // never null in a decoded record
  std::vector<double> values;
  std::string recordTime;  // the record's own time stamp, ISO 8601: "2026-12-06T09:05:03"

  // The value of the field `key`; nothing when the type has no such field.
  std::optional<double> Value(const std::string& key) const;
};

// The record as a device of `type` made it; nothing without a type, or for a record of another
// length than the type's.
std::optional<RecordValues> DecodeRecord(const DeviceType* type, const unsigned char* data,
                                         std::size_t length);
// A record of which only the bytes are known (read back from the store): decoded as the type its
// length says (DeviceTypeOfLength); nothing when the length names no single known type.
std::optional<RecordValues> DecodeRecord(const unsigned char* data, std::size_t length);
uint16_t RecordWord(const unsigned char* data, std::size_t offset);
