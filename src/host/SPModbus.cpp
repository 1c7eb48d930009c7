// SPDX-License-Identifier: Apache-2.0
#include "host/SPModbus.h"

#include <algorithm>
#include <iostream>
#include <string>

#include "BusSettings.h"

SPModbus::SPModbus() = default;
SPModbus::~SPModbus() = default;

// Takes the bus settings of the document; a bad value is reported and changes nothing, so the
// device keeps working with the line it had.
int SPModbus::InitSetting(const Json::Value& settings) {
  BusSettings bus{baudRate_,          parity_,  dataBits_, stopBits_, slaveAddress_,
                  responseTimeoutMs_, portPath_};
  std::string error;
  if (!ReadBusSettings(settings, bus, error)) {
    std::cout << "busSetting rejected: " << error << "; bus settings unchanged" << std::endl;
    return -1;
  }
  baudRate_ = bus.baudRate;
  parity_ = bus.parity;
  dataBits_ = bus.dataBits;
  stopBits_ = bus.stopBits;
  slaveAddress_ = bus.slaveAddress;
  responseTimeoutMs_ = bus.responseTimeoutMs;
  portPath_ = bus.port;
  return 0;
}

namespace {

uint16_t Word(const unsigned char* bytes) {
  return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]);
}

}  // namespace

int SPModbus::process(unsigned char* pdu, unsigned int length) {
  if (pdu == nullptr || length < 2) return DeliverFailure();
  const uint8_t function = pdu[0];
  if (function & 0x80) return DeliverFailure();  // exception answer
  if (function == ModbusRequest::kReadHolding || function == ModbusRequest::kReadInput) {
    const unsigned byteCount = pdu[1];
    if (byteCount % 2 != 0 || byteCount / 2 > regBuf_.size() || length < 2 + byteCount) {
      return DeliverFailure();
    }
    std::array<uint16_t, ModbusRequest::kMaxReadCount> words{};
    for (unsigned i = 0; i < byteCount / 2; ++i) words[i] = Word(pdu + 2 + 2 * i);
    const tab_type table =
        function == ModbusRequest::kReadHolding ? HOLDING_REGISTER : INPUT_REGISTER;
    return DeliverAnswer(table, words.data(), byteCount / 2);
  }
  if ((function == ModbusRequest::kWriteSingle || function == ModbusRequest::kWriteMultiple) &&
      length >= 5) {
    // Echo: address, then the value (06) or the count (16).
    const uint16_t echoed = Word(pdu + 3);
    if (function == ModbusRequest::kWriteSingle) return DeliverAnswer(HOLDING_REGISTER, &echoed, 1);
    const uint16_t words[2] = {ModbusRequest::kWriteMultiple, echoed};
    return DeliverAnswer(HOLDING_REGISTER, words, 2);
  }
  return DeliverFailure();
}

int SPModbus::DeliverAnswer(tab_type table, const uint16_t* registers, unsigned int count) {
  const unsigned int stored = std::min<unsigned int>(count, regBuf_.size());
  std::copy(registers, registers + stored, regBuf_.begin());
  std::fill(regBuf_.begin() + stored, regBuf_.end(), 0);
  return process_payload(table, stored);
}

int SPModbus::DeliverFailure() { return on_error(); }

int SPModbus::modbus_read_registers(int address, int count) {
  return SubmitRead(ModbusRequest::kReadHolding, address, count);
}

int SPModbus::modbus_read_input_registers(int address, int count) {
  return SubmitRead(ModbusRequest::kReadInput, address, count);
}

int SPModbus::SubmitRead(uint8_t function, int address, int count) {
  if (address < 0 || address > 0xFFFF || count < 1 ||
      count > static_cast<int>(ModbusRequest::kMaxReadCount)) {
    return -1;
  }
  ModbusRequest request;
  request.function = function;
  request.address = static_cast<uint16_t>(address);
  request.count = static_cast<uint16_t>(count);
  return Submit(request);
}

int SPModbus::modbus_write_register(int address, int value) {
  if (address < 0 || address > 0xFFFF || value < 0 || value > 0xFFFF) return -1;
  ModbusRequest request;
  request.function = ModbusRequest::kWriteSingle;
  request.address = static_cast<uint16_t>(address);
  request.count = 1;
  request.values[0] = static_cast<uint16_t>(value);
  return Submit(request);
}

int SPModbus::modbus_write_registers(int address, int count, const uint16_t* values) {
  if (address < 0 || address > 0xFFFF || count < 1 ||
      count > static_cast<int>(ModbusRequest::kMaxWriteCount) || values == nullptr) {
    return -1;
  }
  ModbusRequest request;
  request.function = ModbusRequest::kWriteMultiple;
  request.address = static_cast<uint16_t>(address);
  request.count = static_cast<uint16_t>(count);
  std::copy(values, values + count, request.values.begin());
  return Submit(request);
}

int SPModbus::Submit(const ModbusRequest& request) {
  if (auto controller = Controller()) return controller->SubmitRequest(*this, request);
  return -1;
}
