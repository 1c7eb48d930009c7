// SPDX-License-Identifier: Apache-2.0
#include "SensorRegisters.h"

#include <cmath>
#include <new>

namespace {

using do3008ra::kAddressRegister;
using do3008ra::kBaudCodeRegister;
constexpr double kPi = 3.14159265358979323846;

struct Block {
  do3008ra::RegisterBlock registers;
  bool writable;
};

// People write the calibration and the bus blocks; the measured block is the sensor's own.
constexpr Block kBlocks[] = {{do3008ra::kMeasuredBlock, false},
                             {do3008ra::kCalibrationBlock, true},
                             {do3008ra::kBusBlock, true}};

const Block* BlockHolding(uint16_t address, uint16_t count) {
  for (const Block& block : kBlocks) {
    if (block.registers.Holds(address, count)) return &block;
  }
  return nullptr;
}

bool ValueAllowed(uint16_t address, uint16_t value) {
  if (address == kAddressRegister) {
    return value >= do3008ra::kLowestAddress && value <= do3008ra::kHighestAddress;
  }
  if (address == kBaudCodeRegister) return do3008ra::BaudOfCode(value) != 0;
  return true;
}

}  // namespace

double SensorRegisters::Wave::At(double seconds) const {
  if (periodSeconds <= 0) return low;
  const double phase = std::fmod(seconds, periodSeconds) / periodSeconds;  // 0..1
  const double rise = phase < 0.5 ? phase * 2 : (1 - phase) * 2;           // 0..1..0
  return low + (high - low) * rise;
}

uint16_t Tenths(double value) {
  return static_cast<uint16_t>(static_cast<int32_t>(std::lround(value * 10)) & 0xFFFF);
}

SensorRegisters::SensorRegisters(const Settings& settings)
    : settings_(settings), mapping_(modbus_mapping_new(0, 0, kMapSize, kMapSize)) {
  if (!mapping_) throw std::bad_alloc();
  SetBoth(kAddressRegister, settings.slave);
  SetBoth(kBaudCodeRegister, settings.baudCode);
  Refresh(0);
  for (const Pin& pin : settings.pins) {
    (pin.input ? mapping_->tab_input_registers : mapping_->tab_registers)[pin.address] = pin.value;
  }
}

void SensorRegisters::Control(const std::vector<Pin>& pins) {
  controlled_ = pins;
  // A released register takes its wave's or its --set value again.
  for (const Pin& pin : settings_.pins) {
    (pin.input ? mapping_->tab_input_registers : mapping_->tab_registers)[pin.address] = pin.value;
  }
  for (const Pin& pin : controlled_) {
    (pin.input ? mapping_->tab_input_registers : mapping_->tab_registers)[pin.address] = pin.value;
  }
}

void SensorRegisters::Refresh(double secondsSinceStart) {
  const double t = settings_.drift ? secondsSinceStart : 0.0;
  const double drift = settings_.drift ? 1.0 : 0.0;
  SetMeasured(do3008ra::kHumidityRegister,
              settings_.humidity + drift * 2.0 * std::sin(2 * kPi * t / 30.0));
  SetMeasured(do3008ra::kTemperatureRegister,
              settings_.drift ? settings_.temperature.At(t) : settings_.temperature.low);
  SetMeasured(do3008ra::kPressureRegister,
              settings_.pressure + drift * 0.4 * std::sin(2 * kPi * t / 60.0));
}

void SensorRegisters::SetMeasured(uint16_t address, double value) {
  const uint16_t raw = Tenths(value);
  if (!Pinned(false, address)) mapping_->tab_registers[address] = raw;
  if (!Pinned(true, address)) mapping_->tab_input_registers[address] = raw;
}

bool SensorRegisters::Pinned(bool input, uint16_t address) const {
  for (const auto* pins : {&settings_.pins, &controlled_}) {
    for (const Pin& pin : *pins) {
      if (pin.input == input && pin.address == address) return true;
    }
  }
  return false;
}

void SensorRegisters::SetBoth(uint16_t address, uint16_t value) {
  mapping_->tab_registers[address] = value;
  mapping_->tab_input_registers[address] = value;
}

uint8_t SensorRegisters::CheckRead(uint16_t address, uint16_t count) const {
  if (count < 1 || count > MODBUS_MAX_READ_REGISTERS) return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
  return BlockHolding(address, count) ? 0 : MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
}

uint8_t SensorRegisters::CheckWrite(uint16_t address, const std::vector<uint16_t>& values) const {
  if (values.empty() || values.size() > MODBUS_MAX_WRITE_REGISTERS) {
    return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
  }
  const Block* block = BlockHolding(address, static_cast<uint16_t>(values.size()));
  if (block == nullptr || !block->writable) return MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto target = static_cast<uint16_t>(address + i);
    if (!ValueAllowed(target, values[i]) ||
        (target == kBaudCodeRegister && values[i] > settings_.highestBaudCode)) {
      return MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE;
    }
  }
  return 0;
}

SensorRegisters::LineChange SensorRegisters::ApplyWrite(uint16_t address,
                                                        const std::vector<uint16_t>& values) {
  LineChange change;
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto target = static_cast<uint16_t>(address + i);
    SetBoth(target, values[i]);
    if (target == kAddressRegister) change.slave = values[i];
    if (target == kBaudCodeRegister) change.baudCode = values[i];
  }
  return settings_.lineChangeOnRestart ? LineChange{} : change;
}

std::vector<uint16_t> SensorRegisters::Read(bool input, uint16_t address, uint16_t count) const {
  const uint16_t* table = input ? mapping_->tab_input_registers : mapping_->tab_registers;
  return std::vector<uint16_t>(table + address, table + address + count);
}
