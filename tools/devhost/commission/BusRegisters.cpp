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

std::optional<std::string> BusRegisterWrite(const HostedDevice& device, unsigned first,
                                            std::size_t count, const std::string& config) {
  const BusProfile* bus = BusProfileOf(device);
  if (bus == nullptr) return std::nullopt;
  const auto reaches = [&](unsigned reg) { return reg >= first && reg - first < count; };
  const bool address = reaches(bus->addressRegister);
  if (!address && !reaches(bus->baudCodeRegister)) return std::nullopt;
  const std::string id = std::to_string(device.dataId);
  const std::string command = address ? "devhost readdress " + config + " " + id + " ADDRESS"
                                      : "devhost rebaud " + config + " " + id + " SPEED";
  return "register " + std::to_string(address ? bus->addressRegister : bus->baudCodeRegister) +
         " is device " + id + "'s " + (address ? "address" : "speed") +
         " on the bus: change it with " + command +
         ", which checks the line, records the change and verifies the sensor there";
}
