// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <vector>

#include "FaultPlan.h"
#include "SensorRegisters.h"

// One simulated sensor on the line: its address and speed, its register map and its faults. It
// hears every frame on the line and answers those for its address, as a slave on a shared pair.
class SimSensor {
 public:
  // What the sensor does with one request.
  struct Reply {
    std::vector<uint8_t> frame;          // the answer with its CRC; empty: none
    int delayMs = 0;                     // a late answer waits this long first
    SensorRegisters::LineChange change;  // taken once the answer is out
  };

  SimSensor(const SensorRegisters::Settings& settings, const FaultSettings& faults, bool verbose);

  uint16_t Slave() const { return slave_; }
  uint16_t BaudCode() const { return baudCode_; }
  SensorRegisters& Registers() { return registers_; }
  // Whether a request to `address` is this sensor's (its own address or a broadcast).
  bool Hears(uint8_t address) const { return address == slave_ || address == 0; }
  // The answer to a whole request frame (CRC checked already), the values first brought to
  // `secondsRunning`.
  Reply Respond(const std::vector<uint8_t>& frame, double secondsRunning);
  // A new address or speed, once the answer that confirmed it has gone out.
  void Take(const SensorRegisters::LineChange& change);

 private:
  struct Request {
    uint8_t slave = 0;
    uint8_t function = 0;
    uint16_t address = 0;
    uint16_t count = 0;            // registers read or written
    std::vector<uint16_t> values;  // written values
  };

  static bool Parse(const std::vector<uint8_t>& frame, Request& request);
  uint8_t Check(const Request& request) const;
  Reply Answer(const Request& request, Fault fault);
  std::vector<uint8_t> Body(const Request& request) const;

  SensorRegisters registers_;
  FaultPlan faults_;
  bool verbose_;
  // Where the sensor answers: the bus registers as the map starts.
  uint16_t slave_;
  uint16_t baudCode_;
};
