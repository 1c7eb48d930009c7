// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/ModbusRequest.h"

// The bus could not be opened or set up (SerialLine: a serial device that is missing, taken or
// refuses its settings).
struct SerialError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What one exchange on the line brought back.
struct Exchange {
  bool answered = false;
  std::vector<uint16_t> registers;  // a read answer's registers
  std::vector<uint8_t> pdu;         // a write answer: function code first, no address, no CRC
  std::string error;                // why there is no usable answer
  int errorNumber = 0;              // errno of the call that failed, 0 for a bad answer
  bool lineQuiet = false;           // the failure was a complete answer: nothing to drain
  int exception = 0;                // the Modbus exception code the slave answered with, if any
  // The serial device is gone (unplugged) or the line is not open: why, empty while it is there.
  std::string portLost;
};

// What a line controller, a port reopening and commissioning need of the wire: a serial line in
// the host, a register map in tests. One exchange at a time, on the line's thread.
class Bus {
 public:
  virtual ~Bus() = default;

  virtual Exchange Perform(int slave, const ModbusRequest& request) = 0;
  // Raw bytes out on the line; the number written or -1.
  virtual int SendRaw(const unsigned char* data, unsigned int length) = 0;
  // Another speed and parity; throws SerialError when the bus cannot be opened again.
  virtual void Reconfigure(int baudRate, char parity) = 0;
  // Gives the device up, so that it can be opened anew once it is back.
  virtual void Drop() = 0;
  // Opens the device again after Drop; throws SerialError when it cannot.
  virtual void Reopen() = 0;
  virtual const std::string& Device() const = 0;
  virtual bool IsOpen() const = 0;
};

// "read holding registers 0/4", "write register 80" ... for messages.
std::string Describe(const ModbusRequest& request);
