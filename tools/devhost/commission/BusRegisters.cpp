// SPDX-License-Identifier: Apache-2.0
#include "commission/BusRegisters.h"

#include "commission/BaudCodes.h"
#include "line/Bus.h"

bool BusReading::Plausible() const {
  return answered && address >= do3008ra::kLowestAddress && address <= do3008ra::kHighestAddress &&
         do3008ra::BaudOfCode(baudCode) != 0;
}

std::string BusReading::Text() const {
  const int baud = do3008ra::BaudOfCode(baudCode);
  return "address " + std::to_string(address) + ", " +
         (baud != 0 ? std::to_string(baud) + " baud" : "baud code " + std::to_string(baudCode));
}

std::string PlaceText(int address, int baud) {
  return "address " + std::to_string(address) + ", " + std::to_string(baud) + " baud";
}

BusReading ReadBusRegisters(Bus& line, int slave) {
  ModbusRequest request;
  request.function = ModbusRequest::kReadInput;
  request.address = do3008ra::kBusBlock.first;
  request.count = do3008ra::kBusBlock.count;
  const Exchange exchange = line.Perform(slave, request);
  BusReading reading;
  if (!exchange.answered || exchange.registers.size() != do3008ra::kBusBlock.count) {
    reading.error = exchange.answered ? "answer of another length" : exchange.error;
    reading.exception = exchange.exception;
    return reading;
  }
  reading.answered = true;
  reading.address = exchange.registers[do3008ra::kAddressRegister - do3008ra::kBusBlock.first];
  reading.baudCode = exchange.registers[do3008ra::kBaudCodeRegister - do3008ra::kBusBlock.first];
  return reading;
}
