// SPDX-License-Identifier: Apache-2.0
#pragma once
// The device types the host knows how to show: for each, its record's length and the named
// fields of the record, in order. The console, the store, the history export, the MQTT bridge
// and the plots loop over these fields; none of them names a field itself. A device type the
// registry does not know still runs: its records are kept as bytes and shown as such.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "events/DeviceProfile.h"

// What a field is to the host. Measured values are shown on the console and in exports,
// published and plotted; calibrations and bus settings are stored and published.
enum class FieldKind { kMeasured, kCalibration, kBusSetting };

struct RecordField {
  std::string key;    // store column, CSV column, JSON and MQTT key: "temperature"
  std::string label;  // for people: "Temperature"
  std::string unit;   // "°C", "%RH", "hPa"; empty for none
  FieldKind kind = FieldKind::kMeasured;
  // A whole number (INTEGER column, integer text and JSON); else a decimal shown with one place
  // (REAL column).
  bool whole = false;
  // The value, from a record of the type's length.
  double (*value)(const unsigned char* record) = nullptr;
  // The device's own name of the value in its status document and alarm rules ("温度"); empty
  // when it has none.
  std::string signal;
  // Home Assistant: the sensor's device class and unit; no discovery without a class.
  std::string homeAssistantClass;
  std::string homeAssistantUnit;
  // The MQTT state names the field `stateKey` (empty: `key`) and publishes `stateValue` of its
  // value (nullptr: the value itself; nothing: null).
  std::string stateKey;
  std::optional<double> (*stateValue)(double value) = nullptr;
};

struct DeviceType {
  std::string name;   // as the type's devices name themselves (VDeviceInterface::DeviceType)
  std::string model;  // for people: "DO3008RA"
  std::size_t recordLength = 0;
  std::vector<RecordField> fields;
  // The record's own time stamp, ISO 8601: "2026-12-06T09:05:03".
  std::string (*recordTime)(const unsigned char* record) = nullptr;
  // Its bus registers and write outcome; nothing for a type the host cannot commission.
  std::optional<DeviceProfile> profile;

  // The fields of one kind, in order.
  std::vector<const RecordField*> FieldsOf(FieldKind kind) const;
};

// Every type the host knows, in a fixed order.
const std::vector<DeviceType>& DeviceTypes();
// The type its devices call `name`; nullptr for a type the host does not know.
const DeviceType* DeviceTypeNamed(const std::string& name);
// The type of a record of which only the bytes are known (a stored record): the one type whose
// records have this length; nullptr when none has, or when several have.
const DeviceType* DeviceTypeOfLength(std::size_t length);

// The type `devhost scan` looks for and whose speeds the command line takes: the first type with
// a profile.
const DeviceType& CommissionedType();

// A column of the store's history table: each field key of any type, once, in the order of the
// types and their fields.
struct HistoryColumn {
  std::string key;
  FieldKind kind = FieldKind::kMeasured;
  bool whole = false;
};
std::vector<HistoryColumn> HistoryColumns(const std::vector<DeviceType>& types);
// The columns of the known types.
const std::vector<HistoryColumn>& HistoryColumns();
