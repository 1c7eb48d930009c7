// SPDX-License-Identifier: Apache-2.0
#include "events/RecordView.h"

std::optional<double> RecordValues::Value(const std::string& key) const {
  for (std::size_t i = 0; type != nullptr && i < type->fields.size(); ++i) {
    if (type->fields[i].key == key) return values[i];
  }
  return std::nullopt;
}

uint16_t RecordWord(const unsigned char* data, std::size_t offset) {
  return static_cast<uint16_t>(data[offset] | (data[offset + 1] << 8));
}

std::optional<RecordValues> DecodeRecord(const DeviceType* type, const unsigned char* data,
                                         std::size_t length) {
  if (type == nullptr || data == nullptr || length != type->recordLength) return std::nullopt;
  RecordValues decoded;
  decoded.type = type;
  decoded.values.reserve(type->fields.size());
  for (const RecordField& field : type->fields) decoded.values.push_back(field.value(data));
  decoded.recordTime = type->recordTime(data);
  return decoded;
}

std::optional<RecordValues> DecodeRecord(const unsigned char* data, std::size_t length) {
  return DecodeRecord(DeviceTypeOfLength(length), data, length);
}
