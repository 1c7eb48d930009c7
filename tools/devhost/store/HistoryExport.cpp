#include "store/HistoryExport.h"

#include <cstdio>

#include "events/EventFormat.h"
#include "events/RecordView.h"
#include "store/TimeRange.h"

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
      "humidity_calibration,pressure_calibration,address,baud_code,record_stamp,record\n";
  for (const HistoryRow& row : rows) {
    csv += std::to_string(row.id) + "," + std::to_string(row.dataId) + "," +
           IsoFromStoreText(row.time) + ",";
    if (const auto values = DecodeRecord(row.record.data(), row.record.size())) {
      csv += Format("%.1f", values->temperature) + "," + Format("%.1f", values->humidity) + "," +
             Format("%.1f", values->pressure) + "," +
             Format("%.1f", values->temperatureCalibration) + "," +
             Format("%.1f", values->humidityCalibration) + "," +
             Format("%.1f", values->pressureCalibration) + "," + std::to_string(values->address) +
             "," + std::to_string(values->baudCode) + "," + values->recordTime + ",";
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
                    IsoFromStoreText(row.time).c_str(), values->temperature, values->humidity,
                    values->pressure);
    } else {
      std::snprintf(line, sizeof line, "%-7lld %-8u %-20s (%zu bytes)\n", row.id, row.dataId,
                    IsoFromStoreText(row.time).c_str(), row.record.size());
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
    json["time"] = IsoFromStoreText(row.time);
    json["record"] = Hex(row.record);
    if (const auto values = DecodeRecord(row.record.data(), row.record.size())) {
      json["temperature"] = values->temperature;
      json["humidity"] = values->humidity;
      json["pressure"] = values->pressure;
      json["record_stamp"] = values->recordTime;
    }
    records.append(json);
  }
  return CompactJson(document, false) + "\n";
}

namespace {

std::string CellText(const Json::Value& value, const std::string& column) {
  if (value.isNull()) return "";
  if (value.isString()) {
    return column == "time" ? IsoFromStoreText(value.asString()) : value.asString();
  }
  if (value.type() == Json::realValue) return Format("%.1f", value.asDouble());
  return value.asString();
}

// RFC 4180: a field with a comma, quote or line break goes in quotes, quotes doubled.
std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

std::string EventRowsCsv(const StoredRows& rows) {
  std::string csv;
  for (std::size_t i = 0; i < rows.columns.size(); ++i) {
    csv += (i ? "," : "") + rows.columns[i];
  }
  csv += "\n";
  for (const auto& row : rows.rows) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      csv += (i ? "," : "") + CsvField(CellText(row[i], rows.columns[i]));
    }
    csv += "\n";
  }
  return csv;
}

std::string EventRowsTable(const StoredRows& rows, const std::string& kind) {
  std::string table;
  for (std::size_t i = 0; i < rows.columns.size(); ++i) table += (i ? "  " : "") + rows.columns[i];
  table += "\n";
  for (const auto& row : rows.rows) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      table += (i ? "  " : "") + CellText(row[i], rows.columns[i]);
    }
    table += "\n";
  }
  return table + std::to_string(rows.rows.size()) + " " + kind + " row(s)\n";
}

std::string EventRowsJsonDocument(const StoredRows& rows, const std::string& kind) {
  Json::Value document(Json::objectValue);
  document["command"] = "history";
  Json::Value& list = document[kind] = Json::Value(Json::arrayValue);
  for (const auto& row : rows.rows) {
    Json::Value json(Json::objectValue);
    for (std::size_t i = 0; i < row.size(); ++i) {
      const std::string& column = rows.columns[i];
      json[column] = column == "time" ? Json::Value(IsoFromStoreText(row[i].asString())) : row[i];
    }
    list.append(json);
  }
  return CompactJson(document, false) + "\n";
}
