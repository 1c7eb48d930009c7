// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <random>

// Which misbehaviour, if any, the simulated sensor shows for one request. Shares are whole
// percents of all requests; they add up to at most 100.
struct FaultSettings {
  int dropPercent = 0;       // no answer at all
  int corruptPercent = 0;    // answer with a broken CRC
  int exceptionPercent = 0;  // answer with a Modbus exception (slave device failure)
  int latePercent = 0;       // answer after lateMs
  int lateMs = 1000;
  bool neverAnswerInput = false;  // function 04 is never answered
  bool wrongEcho = false;         // writes are echoed with a value or count off by one
  uint32_t seed = 1;
};

enum class Fault { kNone, kDrop, kCorrupt, kException, kLate };

class FaultPlan {
 public:
  explicit FaultPlan(const FaultSettings& settings);
  Fault Decide(uint8_t function);
  const FaultSettings& Settings() const { return settings_; }

 private:
  FaultSettings settings_;
  std::mt19937 random_;
};

const char* FaultName(Fault fault);
