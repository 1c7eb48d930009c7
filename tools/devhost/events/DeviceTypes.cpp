// SPDX-License-Identifier: Apache-2.0
#include "events/DeviceTypes.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "do3008ra/DO3008RA_Data_t.h"
#include "do3008ra/register_values.h"
#include "do3008ra/sensor_facts.h"

namespace {

// ISO 8601, like every other time in CSV and JSON.
std::string RecordTimeText(const TTime& time) {
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", static_cast<int>(time.year),
                static_cast<int>(time.month), static_cast<int>(time.day),
                static_cast<int>(time.hour), static_cast<int>(time.minute),
                static_cast<int>(time.second));
  return text;
}

// ---- DO3008RA -----------------------------------------------------------------------------------
// The plug-in's own record and its own reading of the registers (the input copies, signed where
// its status document signs them), so the host never shows a value another way.

DO3008RA_Data_t Do3008raRecord(const unsigned char* bytes) {
  DO3008RA_Data_t record;
  std::memcpy(&record, bytes, sizeof record);
  return record;
}

// A decimal field: the plug-in's signed or unsigned tenths of one register (register_values.h).
template <int32_t do3008ra::Tenths::*kTenths>
double Do3008raDecimal(const unsigned char* bytes) {
  return do3008ra::DecimalFigure(do3008ra::TenthsOf(Do3008raRecord(bytes)).*kTenths);
}

// A whole field: an input copy of a bus register.
template <uint16_t kRegister>
double Do3008raBusRegister(const unsigned char* bytes) {
  return Do3008raRecord(bytes).inputBus[kRegister - do3008ra::kBusBlock.first];
}

// MQTT publishes the speed a baud-rate code stands for, null for a code the sensor does not
// define.
std::optional<double> Do3008raBaudRate(double code) {
  const int baud = do3008ra::BaudOfCode(static_cast<unsigned>(code));
  if (baud == 0) return std::nullopt;
  return baud;
}

DeviceProfile Do3008raProfile() {
  DeviceProfile profile;
  BusProfile& bus = profile.bus;
  bus.firstRegister = do3008ra::kBusBlock.first;
  bus.registerCount = do3008ra::kBusBlock.count;
  bus.addressRegister = do3008ra::kAddressRegister;
  bus.baudCodeRegister = do3008ra::kBaudCodeRegister;
  bus.lowestAddress = do3008ra::kLowestAddress;
  bus.highestAddress = do3008ra::kHighestAddress;
  bus.baudRates.assign(std::begin(do3008ra::kBaudRates), std::end(do3008ra::kBaudRates));
  bus.factoryBaud = do3008ra::kFactoryBaud;
  WriteOutcomeCodes& write = profile.writeOutcome;
  write.writeSingle = do3008ra::kWriteRegisterCommand;
  write.writeMultiple = do3008ra::kWriteRegistersCommand;
  write.query = do3008ra::kWriteOutcomeQuery;
  write.pending = do3008ra::kWritePending;
  write.confirmed = do3008ra::kWriteConfirmed;
  write.notConfirmed = do3008ra::kWriteNotConfirmed;
  profile.statusText = do3008ra::kStatusTextCommand;
  return profile;
}

DeviceType Do3008ra() {
  using do3008ra::Tenths;
  constexpr FieldKind kMeasured = FieldKind::kMeasured;
  constexpr FieldKind kCalibration = FieldKind::kCalibration;
  constexpr FieldKind kBusSetting = FieldKind::kBusSetting;
  DeviceType type;
  type.name = do3008ra::kDeviceType;
  type.model = do3008ra::kModel;
  type.recordLength = sizeof(DO3008RA_Data_t);
  type.recordTime = [](const unsigned char* r) { return RecordTimeText(Do3008raRecord(r).time); };
  // key, label, unit, kind, whole, value, the status document's name, Home Assistant class and
  // unit, MQTT key and value.
  type.fields = {
      {"temperature", "Temperature", "°C", kMeasured, false, &Do3008raDecimal<&Tenths::temperature>,
       do3008ra::kTemperatureName, "temperature", "°C", "", nullptr},
      {"humidity", "Humidity", "%RH", kMeasured, false, &Do3008raDecimal<&Tenths::humidity>,
       do3008ra::kHumidityName, "humidity", "%", "", nullptr},
      {"pressure", "Pressure", "hPa", kMeasured, false, &Do3008raDecimal<&Tenths::pressure>,
       do3008ra::kPressureName, "atmospheric_pressure", "hPa", "", nullptr},
      {"temperature_calibration", "Temperature calibration", "°C", kCalibration, false,
       &Do3008raDecimal<&Tenths::temperatureCalibration>, do3008ra::kTemperatureCalibrationName, "",
       "", "", nullptr},
      {"humidity_calibration", "Humidity calibration", "%RH", kCalibration, false,
       &Do3008raDecimal<&Tenths::humidityCalibration>, do3008ra::kHumidityCalibrationName, "", "",
       "", nullptr},
      {"pressure_calibration", "Pressure calibration", "hPa", kCalibration, false,
       &Do3008raDecimal<&Tenths::pressureCalibration>, do3008ra::kPressureCalibrationName, "", "",
       "", nullptr},
      {"address", "Address", "", kBusSetting, true,
       &Do3008raBusRegister<do3008ra::kAddressRegister>, do3008ra::kAddressName, "", "", "",
       nullptr},
      // The status document shows the rate (波特率); the record and the store keep the code.
      {"baud_code", "Baud-rate code", "", kBusSetting, true,
       &Do3008raBusRegister<do3008ra::kBaudCodeRegister>, "", "", "", "baud_rate",
       &Do3008raBaudRate},
  };
  type.profile = Do3008raProfile();
  return type;
}

}  // namespace

std::vector<const RecordField*> DeviceType::FieldsOf(FieldKind kind) const {
  std::vector<const RecordField*> of;
  for (const RecordField& field : fields) {
    if (field.kind == kind) of.push_back(&field);
  }
  return of;
}

const std::vector<DeviceType>& DeviceTypes() {
  static const std::vector<DeviceType> types = {Do3008ra()};
  return types;
}

const DeviceType* DeviceTypeNamed(const std::string& name) {
  for (const DeviceType& type : DeviceTypes()) {
    if (type.name == name) return &type;
  }
  return nullptr;
}

const DeviceType& CommissionedType() {
  for (const DeviceType& type : DeviceTypes()) {
    if (type.profile) return type;
  }
  return DeviceTypes().front();  // never reached: the sensor's type has its profile
}

const DeviceType* DeviceTypeOfLength(std::size_t length) {
  const DeviceType* found = nullptr;
  for (const DeviceType& type : DeviceTypes()) {
    if (type.recordLength != length) continue;
    if (found != nullptr) return nullptr;  // the length does not tell them apart
    found = &type;
  }
  return found;
}

std::vector<HistoryColumn> HistoryColumns(const std::vector<DeviceType>& types) {
  std::vector<HistoryColumn> columns;
  for (const DeviceType& type : types) {
    for (const RecordField& field : type.fields) {
      bool known = false;
      for (const HistoryColumn& column : columns) known = known || column.key == field.key;
      if (!known) columns.push_back({field.key, field.kind, field.whole});
    }
  }
  return columns;
}

const std::vector<HistoryColumn>& HistoryColumns() {
  static const std::vector<HistoryColumn> columns = HistoryColumns(DeviceTypes());
  return columns;
}
