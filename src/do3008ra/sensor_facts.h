// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the DO3008RA is, written once: its register map, its baud-rate codes, its record, the
// names of its signals and the commands its plug-in answers. The plug-in (built for the ARM
// board too), the reference host and the simulated sensor all take these facts from here, so
// this header holds constants only and includes nothing but the standard integer types.

#include <cstddef>
#include <cstdint>

namespace do3008ra {

// ---- registers ----------------------------------------------------------------------------------

// A block of consecutive registers. The sensor answers each block as holding registers
// (function 03) and as input registers (function 04); a write lands in both copies.
struct RegisterBlock {
  uint16_t first;
  uint16_t count;
  constexpr bool Holds(uint16_t address, uint16_t registers) const {
    return address >= first && address + registers <= first + count;
  }
};

// The measured values (register 2 is read with them and shown nowhere).
constexpr RegisterBlock kMeasuredBlock{0, 4};
constexpr uint16_t kHumidityRegister = 0;
constexpr uint16_t kTemperatureRegister = 1;  // signed
constexpr uint16_t kPressureRegister = 3;

// The calibration offsets, all signed; written by people.
constexpr RegisterBlock kCalibrationBlock{80, 3};
constexpr uint16_t kTemperatureCalibrationRegister = 80;
constexpr uint16_t kHumidityCalibrationRegister = 81;
constexpr uint16_t kPressureCalibrationRegister = 82;

// The sensor's place on the bus; a new value is the sensor's new address or speed.
constexpr RegisterBlock kBusBlock{2000, 2};
constexpr uint16_t kAddressRegister = 2000;
constexpr uint16_t kBaudCodeRegister = 2001;
// The addresses register 2000 takes.
constexpr uint16_t kLowestAddress = 1;
constexpr uint16_t kHighestAddress = 247;

static_assert(kMeasuredBlock.Holds(kHumidityRegister, 1) &&
                  kMeasuredBlock.Holds(kTemperatureRegister, 1) &&
                  kMeasuredBlock.Holds(kPressureRegister, 1),
              "the measured registers lie in their block");
static_assert(kCalibrationBlock.Holds(kTemperatureCalibrationRegister, 3), "calibration block");
static_assert(kBusBlock.Holds(kAddressRegister, 2) && kBaudCodeRegister == kAddressRegister + 1,
              "bus block");

// ---- baud-rate codes ----------------------------------------------------------------------------

// Index = the baud-rate code register 2001 holds. Code 7, the slowest rate, was added after the
// others.
constexpr int kBaudRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 1200};
constexpr uint16_t kBaudCodeCount = sizeof kBaudRates / sizeof kBaudRates[0];
// The speed sensors leave the factory with.
constexpr int kFactoryBaud = 9600;

// The speed of a code in baud; 0 for a value that is no code.
constexpr int BaudOfCode(unsigned code) { return code < kBaudCodeCount ? kBaudRates[code] : 0; }
// The code of a speed; -1 for a speed the sensor cannot be set to.
constexpr int CodeOfBaud(int baud) {
  for (uint16_t code = 0; code < kBaudCodeCount; ++code) {
    if (kBaudRates[code] == baud) return code;
  }
  return -1;
}

static_assert(BaudOfCode(2) == 9600 && BaudOfCode(7) == 1200 && BaudOfCode(8) == 0, "codes");
static_assert(CodeOfBaud(kFactoryBaud) == 2 && CodeOfBaud(300) == -1, "codes");

// ---- the record ---------------------------------------------------------------------------------

// The measurement record's length in bytes (DO3008RA_Data_t) and the code it is sent under.
constexpr std::size_t kRecordLength = 47;
constexpr int kDataCode = 5156;
// The device type its devices name themselves with (VDeviceInterface::DeviceType).
constexpr char kDeviceType[] = "do3008ra";
// The model, as people read it.
constexpr char kModel[] = "DO3008RA";

// The names of the values in the status document; the first three are also the signal names of
// alarm rules.
constexpr char kHumidityName[] = "湿度";
constexpr char kTemperatureName[] = "温度";
constexpr char kPressureName[] = "气压";
constexpr char kTemperatureCalibrationName[] = "温度校准值";
constexpr char kHumidityCalibrationName[] = "湿度校准值";
constexpr char kPressureCalibrationName[] = "气压校准值";
constexpr char kAddressName[] = "设备地址";
constexpr char kBaudRateName[] = "波特率";

// ---- commands (DeviceIoControl) -----------------------------------------------------------------

// Input: register address, value.
constexpr int kWriteRegisterCommand = 206;
// Input: start address, then the values.
constexpr int kWriteRegistersCommand = 210;
// Output: the status document as compact JSON text.
constexpr int kStatusTextCommand = 801;
// Output: the status document's address.
constexpr int kStatusAddressCommand = 803;
// A code the device does not handle itself: it answers with the outcome of its last register
// write (one int32_t) before passing the code on to its host.
constexpr int kWriteOutcomeQuery = 1;

// The outcomes of a register write.
constexpr int32_t kWritePending = -1;  // no usable answer (yet)
constexpr int32_t kWriteConfirmed = 1;
constexpr int32_t kWriteNotConfirmed = 3;  // the echo differs from the request

}  // namespace do3008ra
