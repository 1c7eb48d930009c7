// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "events/DeviceProfile.h"

class Bus;
struct HostedDevice;

// What a sensor says about its own place on the bus: its address and baud-rate code registers
// (DO3008RA: input registers 2000 and 2001), read outside any poll cycle.
struct BusReading {
  bool answered = false;
  uint16_t address = 0;
  uint16_t baudCode = 0;
  int baud = 0;               // the speed the code stands for; 0 for a value that is no code
  bool addressTaken = false;  // the address is one the model's address register takes
  std::string error;          // why there is no answer
  int exception = 0;          // a Modbus exception the slave answered with instead

  // The two registers hold what the model can hold: an address it takes and a known code.
  bool Plausible() const { return answered && addressTaken && baud != 0; }
  // "address 9, 38400 baud" as the registers say.
  std::string Text() const;
};

BusReading ReadBusRegisters(Bus& line, int slave, const BusProfile& bus);
// "address 9, 38400 baud": a place on the bus.
std::string PlaceText(int address, int baud);
// The bus profile of the device's type; nullptr for a type the host cannot commission.
const BusProfile* BusProfileOf(const HostedDevice& device);
// A plain write of `count` registers from `first` that would reach the device's address or speed
// register: it would move the sensor around every check of readdress and rebaud (another
// device's address, the line's other devices, the record, the verification). Says which command
// to use instead (`config`: the configuration's path); nothing for any other write.
std::optional<std::string> BusRegisterWrite(const HostedDevice& device, unsigned first,
                                            std::size_t count, const std::string& config);
