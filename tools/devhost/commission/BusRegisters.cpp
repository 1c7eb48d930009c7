#include "commission/BusRegisters.h"

#include "commission/BaudCodes.h"
#include "line/Bus.h"

namespace {

constexpr uint16_t kAddressRegister = 2000;

}  // namespace

bool BusReading::Plausible() const {
  return answered && address >= 1 && address <= 247 && BaudOfSensorCode(baudCode) != 0;
}

std::string BusReading::Text() const {
  const int baud = BaudOfSensorCode(baudCode);
  return "address " + std::to_string(address) + ", " +
         (baud != 0 ? std::to_string(baud) + " baud" : "baud code " + std::to_string(baudCode));
}

std::string PlaceText(int address, int baud) {
  return "address " + std::to_string(address) + ", " + std::to_string(baud) + " baud";
}

BusReading ReadBusRegisters(Bus& line, int slave) {
  ModbusRequest request;
  request.function = ModbusRequest::kReadInput;
  request.address = kAddressRegister;
  request.count = 2;
  const Exchange exchange = line.Perform(slave, request);
  BusReading reading;
  if (!exchange.answered || exchange.registers.size() != 2) {
    reading.error = exchange.answered ? "answer of another length" : exchange.error;
    reading.exception = exchange.exception;
    return reading;
  }
  reading.answered = true;
  reading.address = exchange.registers[0];
  reading.baudCode = exchange.registers[1];
  return reading;
}
