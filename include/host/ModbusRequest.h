// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstdint>

// One Modbus request as a device asks for it. The controller that owns the bus performs it and
// delivers the answer back to the device; the request itself is plain data so that it can be
// queued, recorded and compared without allocation.
struct ModbusRequest {
  static constexpr uint8_t kReadHolding = 3;
  static constexpr uint8_t kReadInput = 4;
  static constexpr uint8_t kWriteSingle = 6;
  static constexpr uint8_t kWriteMultiple = 16;
  static constexpr unsigned kMaxReadCount = 125;   // registers one read may ask for
  static constexpr unsigned kMaxWriteCount = 123;  // registers one write may carry

  uint8_t function = 0;
  uint16_t address = 0;
  uint16_t count = 0;                             // registers read or written; 1 for a single write
  std::array<uint16_t, kMaxWriteCount> values{};  // written values, count of them

  bool operator==(const ModbusRequest& other) const;
};

inline bool ModbusRequest::operator==(const ModbusRequest& other) const {
  if (function != other.function || address != other.address || count != other.count) {
    return false;
  }
  const bool writes = function == kWriteSingle || function == kWriteMultiple;
  for (unsigned i = 0; writes && i < count && i < kMaxWriteCount; ++i) {
    if (values[i] != other.values[i]) return false;
  }
  return true;
}
