#include "store/HistoryExport.h"

#include <cstdio>

#include "events/EventFormat.h"
#include "events/RecordView.h"

namespace {

std::string Hex(const std::vector<unsigned char>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

std::string Format(const char* format, double value) {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string HistoryCsv(const std::vector<HistoryRow>& rows) {
  std::string csv =
      "id,data_id,time,temperature,humidity,pressure,temperature_calibration,"
      "humidity_calibration,pressure_calibration,address,baud_code,record_time,record\n";
  for (const HistoryRow& row : rows) {
    csv += std::to_string(row.id) + "," + std::to_string(row.dataId) + "," + row.time + ",";
    if (const auto values = DecodeRecord(row.record.data(), row.record.size())) {
      csv += Format("%.1f", values->temperature) + "," + Format("%.1f", values->humidity) + "," +
             Format("%.1f", values->pressure) + "," +
             Format("%.1f", values->temperatureCalibration) + "," +
             Format("%.1f", values->humidityCalibration) + "," +
             Format("%.1f", values->pressureCalibration) + "," + std::to_string(values->address) +
             "," + std::to_string(values->baudCode) + "," + values->stamp + ",";
    } else {
      csv += ",,,,,,,,,";
    }
    csv += Hex(row.record) + "\n";
  }
  return csv;
}

std::string HistoryTable(const std::vector<HistoryRow>& rows) {
  std::string table = "id      data_id  time                 temperature  humidity  pressure\n";
  for (const HistoryRow& row : rows) {
    char line[160];
    const auto values = DecodeRecord(row.record.data(), row.record.size());
    if (values) {
      std::snprintf(line, sizeof line, "%-7lld %-8u %-20s %11.1f %9.1f %9.1f\n", row.id, row.dataId,
                    row.time.c_str(), values->temperature, values->humidity, values->pressure);
    } else {
      std::snprintf(line, sizeof line, "%-7lld %-8u %-20s (%zu bytes)\n", row.id, row.dataId,
                    row.time.c_str(), row.record.size());
    }
    table += line;
  }
  table += std::to_string(rows.size()) + " record(s)\n";
  return table;
}

std::string HistoryJsonDocument(const std::vector<HistoryRow>& rows) {
  Json::Value document(Json::objectValue);
  document["command"] = "history";
  Json::Value& records = document["records"] = Json::Value(Json::arrayValue);
  for (const HistoryRow& row : rows) {
    Json::Value json(Json::objectValue);
    json["id"] = static_cast<Json::Int64>(row.id);
    json["data_id"] = row.dataId;
    json["time"] = row.time;
    json["record"] = Hex(row.record);
    if (const auto values = DecodeRecord(row.record.data(), row.record.size())) {
      json["temperature"] = values->temperature;
      json["humidity"] = values->humidity;
      json["pressure"] = values->pressure;
    }
    records.append(json);
  }
  return CompactJson(document, false) + "\n";
}
