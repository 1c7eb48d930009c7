// SPDX-License-Identifier: Apache-2.0
#include "commission/BusRegisters.h"

#include "line/Bus.h"
#include "line/HostedDevice.h"

std::string BusReading::Text() const {
  return "address " + std::to_string(address) + ", " +
         (baud != 0 ? std::to_string(baud) + " baud" : "baud code " + std::to_string(baudCode));
}

std::string PlaceText(int address, int baud) {
  return "address " + std::to_string(address) + ", " + std::to_string(baud) + " baud";
}

BusReading ReadBusRegisters(Bus& line, int slave, const BusProfile& bus) {
  ModbusRequest request;
  request.function = ModbusRequest::kReadInput;
  request.address = bus.firstRegister;
  request.count = bus.registerCount;
  const Exchange exchange = line.Perform(slave, request);
  BusReading reading;
  if (!exchange.answered || exchange.registers.size() != bus.registerCount) {
    reading.error = exchange.answered ? "answer of another length" : exchange.error;
    reading.exception = exchange.exception;
    return reading;
  }
  reading.answered = true;
  reading.address = exchange.registers[bus.addressRegister - bus.firstRegister];
  reading.baudCode = exchange.registers[bus.baudCodeRegister - bus.firstRegister];
  reading.baud = bus.BaudOfCode(reading.baudCode);
  reading.addressTaken = bus.TakesAddress(reading.address);
  return reading;
}

const BusProfile* BusProfileOf(const HostedDevice& device) {
  if (device.type == nullptr || !device.type->profile) return nullptr;
  return &device.type->profile->bus;
}
