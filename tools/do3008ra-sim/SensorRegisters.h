// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include <modbus/modbus.h>

#include "do3008ra/sensor_facts.h"

// The sensor's register map as it answers on the line: holding and input copies of the measured
// block (0-3), the calibration block (80-82) and the bus block (2000-2001). The measured values
// drift with time unless pinned; writes follow the sensor's rules.
class SensorRegisters {
 public:
  // A triangle wave that starts at `low`, reaches `high` half a period later and comes back, so
  // that a limit between the two is crossed upwards and then downwards once per period.
  struct Wave {
    double low = 22.0;
    double high = 32.0;
    double periodSeconds = 20.0;
    double At(double seconds) const;
  };

  // A register whose value is fixed by the operator: drift leaves it alone.
  struct Pin {
    bool input = false;
    uint16_t address = 0;
    uint16_t value = 0;
  };

  struct Settings {
    Wave temperature;
    double humidity = 45.0;
    double pressure = 1013.2;
    bool drift = true;
    uint16_t slave = 1;
    uint16_t baudCode = do3008ra::CodeOfBaud(do3008ra::kFactoryBaud);
    // Baud codes above this one are refused (exception 03), as by a model without the fast
    // speeds.
    uint16_t highestBaudCode = do3008ra::kBaudCodeCount - 1;
    // A new address or baud code is stored but taken only at the next start, as some sensors
    // do: the sensor goes on answering where it was.
    bool lineChangeOnRestart = false;
    std::vector<Pin> pins;
  };

  // What an accepted write changes on the line once its answer has gone out.
  struct LineChange {
    std::optional<uint16_t> slave;
    std::optional<uint16_t> baudCode;
  };

  static constexpr uint16_t kMapSize = do3008ra::kBusBlock.first + do3008ra::kBusBlock.count;

  explicit SensorRegisters(const Settings& settings);

  // Registers held at a value from now on, in place of those held before by this call (pins of
  // the settings stay): a measured one leaves its wave until a later call releases it.
  void Control(const std::vector<Pin>& pins);

  // Recomputes the drifting measured registers for the time since start.
  void Refresh(double secondsSinceStart);

  // 0 when the request fits the map, else the Modbus exception code to answer with.
  uint8_t CheckRead(uint16_t address, uint16_t count) const;
  uint8_t CheckWrite(uint16_t address, const std::vector<uint16_t>& values) const;
  // Stores an accepted write in both copies (the sensor keeps one value per register).
  LineChange ApplyWrite(uint16_t address, const std::vector<uint16_t>& values);

  uint16_t Holding(uint16_t address) const { return mapping_->tab_registers[address]; }
  uint16_t Input(uint16_t address) const { return mapping_->tab_input_registers[address]; }
  std::vector<uint16_t> Read(bool input, uint16_t address, uint16_t count) const;
  modbus_mapping_t* Mapping() { return mapping_.get(); }

 private:
  struct MappingFree {
    void operator()(modbus_mapping_t* mapping) const { modbus_mapping_free(mapping); }
  };

  void SetBoth(uint16_t address, uint16_t value);
  void SetMeasured(uint16_t address, double value);
  bool Pinned(bool input, uint16_t address) const;

  Settings settings_;
  std::vector<Pin> controlled_;
  std::unique_ptr<modbus_mapping_t, MappingFree> mapping_;
};

// Raw register value of a reading in tenths (negative readings in two's complement).
uint16_t Tenths(double value);
// Line speed of a baud-rate code (2400 ... 115200, 7 = 1200); 0 for other codes.
using do3008ra::BaudOfCode;
