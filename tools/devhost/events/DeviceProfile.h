// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the host needs of a model besides its record (events/DeviceTypes.h): where it keeps its
// own place on the bus, for commissioning, and how its plug-in tells a register write's outcome.
// A second model is its plug-in and one entry of the device types with its profile; the host's
// commissioning and write outcome read these facts here and name no model.

#include <cstdint>
#include <optional>
#include <vector>

// Two registers the model answers together outside a poll cycle: its address and the code of
// its speed. A new value written to either is its new address or speed.
struct BusProfile {
  uint16_t firstRegister = 0;  // the block read: first register, count
  uint16_t registerCount = 0;
  uint16_t addressRegister = 0;
  uint16_t baudCodeRegister = 0;
  int lowestAddress = 1;  // the addresses the address register takes
  int highestAddress = 247;
  std::vector<int> baudRates;  // index: the code the speed register holds
  int factoryBaud = 0;         // the speed the model leaves the factory with

  // The speed of a code in baud; 0 for a value that is no code.
  int BaudOfCode(unsigned code) const;
  // The code of a speed; nothing for a speed the model cannot be set to.
  std::optional<uint16_t> CodeOfBaud(int baud) const;
  bool TakesAddress(int address) const;
};

// How the model's plug-in writes registers and tells the outcome of its last write: the
// DeviceIoControl codes that write one register or several (address, then the values), the code
// that asks for the outcome and the values it answers with (one int32_t).
struct WriteOutcomeCodes {
  int writeSingle = 0;
  int writeMultiple = 0;
  int query = 0;
  int32_t pending = -1;  // no usable answer (yet)
  int32_t confirmed = 1;
  int32_t notConfirmed = 3;  // the echo differs from the request
};

struct DeviceProfile {
  BusProfile bus;
  WriteOutcomeCodes writeOutcome;
  int statusText = 0;  // the DeviceIoControl code that answers the status document
};
