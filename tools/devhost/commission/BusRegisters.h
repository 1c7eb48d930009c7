// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <string>

class Bus;

// What a sensor says about its own place on the bus: input registers 2000 (address) and 2001
// (baud-rate code), read outside any poll cycle.
struct BusReading {
  bool answered = false;
  uint16_t address = 0;
  uint16_t baudCode = 0;
  std::string error;  // why there is no answer
  int exception = 0;  // a Modbus exception the slave answered with instead

  // The two registers hold what a DO3008RA can hold: an address 1-247 and a known code.
  bool Plausible() const;
  // "address 9, 38400 baud" as the registers say.
  std::string Text() const;
};

BusReading ReadBusRegisters(Bus& line, int slave);
// "address 9, 38400 baud": a place on the bus.
std::string PlaceText(int address, int baud);
