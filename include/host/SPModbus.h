// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <array>
#include <cstdint>
#include <iostream>

#include "host/ModbusRequest.h"
#include "host/SMDSPDevice.h"
#include "host/host_api.h"

// A Modbus-RTU master device. The device asks for requests; the controller performs them and
// delivers each answer's registers into regBuf_ before calling process_payload.
class HOST_API SPModbus : public SMDSPDevice {
 public:
  enum tab_type { COIL_STATUS = 0, INPUT_STATUS = 1, HOLDING_REGISTER = 2, INPUT_REGISTER = 3 };

  SPModbus();
  ~SPModbus() override;

  int InitSetting(const Json::Value& settings) override;
  // Decodes one Modbus response PDU (function code first, no address, no CRC) and delivers it.
  int process(unsigned char* pdu, unsigned int length) override;
  virtual int process_payload(tab_type table, unsigned int count) = 0;
  virtual int on_error() {
    std::cout << "SPModbus get error\n";
    return 0;
  }

  // Answer paths used by the controller. A read answer carries its registers; a write answer
  // carries the echo: the written value for function 06, the function code 16 and the written
  // count for function 16.
  int DeliverAnswer(tab_type table, const uint16_t* registers, unsigned int count);
  int DeliverFailure();

  int SlaveAddress() const { return slaveAddress_; }
  int ResponseTimeoutMs() const { return responseTimeoutMs_; }

 protected:
  // Each queues one request with the controller; -1 when the arguments cannot form a request or
  // there is no controller.
  int modbus_read_registers(int address, int count);
  int modbus_read_input_registers(int address, int count);
  int modbus_write_register(int address, int value);
  int modbus_write_registers(int address, int count, const uint16_t* values);

  std::array<uint16_t, ModbusRequest::kMaxReadCount> regBuf_{};
  int32_t slaveAddress_ = 1;
  int32_t responseTimeoutMs_ = 500;

 private:
  int SubmitRead(uint8_t function, int address, int count);
  int Submit(const ModbusRequest& request);
};
