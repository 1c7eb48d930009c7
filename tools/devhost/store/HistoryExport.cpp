// SPDX-License-Identifier: Apache-2.0
#include "store/HistoryExport.h"

#include <algorithm>
#include <cstdio>

#include "events/EventFormat.h"
#include "events/FloatText.h"
#include "events/RecordView.h"
#include "events/TimeRange.h"

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

// A value in CSV: "23.4", or "7" for a whole field.
std::string CsvValue(bool whole, double value) {
  return whole ? std::to_string(static_cast<long long>(value)) : Format("%.1f", value);
}

// The table shows the measured columns, each at least as wide as its name.
struct TableColumn {
  std::string key;
  bool whole;
  int width;
};

std::vector<TableColumn> TableColumns() {
  std::vector<TableColumn> columns;
  for (const HistoryColumn& column : HistoryColumns()) {
    if (column.kind != FieldKind::kMeasured) continue;
    columns.push_back({column.key, column.whole, std::max(static_cast<int>(column.key.size()), 9)});
  }
  return columns;
}

}  // namespace

std::string HistoryCsv(const std::vector<HistoryRow>& rows) {
  // Every column of the store, named by its field, then the record's stamp and bytes.
  std::string csv = "id,data_id,time,";
  for (const HistoryColumn& column : HistoryColumns()) csv += column.key + ",";
  csv += "record_stamp,record\n";
  for (const HistoryRow& row : rows) {
    csv += std::to_string(row.id) + "," + std::to_string(row.dataId) + "," +
           IsoInstantFromStoreText(row.time) + ",";
    const auto values = DecodeRecord(row.record.data(), row.record.size());
    for (const HistoryColumn& column : HistoryColumns()) {
      if (const auto value = values ? values->Value(column.key) : std::nullopt) {
        csv += CsvValue(column.whole, *value);
      }
      csv += ",";
    }
    csv += (values ? values->recordTime : std::string()) + ",";
    csv += Hex(row.record) + "\n";
  }
  return csv;
}

std::string HistoryTable(const std::vector<HistoryRow>& rows) {
  const std::vector<TableColumn> columns = TableColumns();
  char text[160];
  std::snprintf(text, sizeof text, "%-7s %-8s %-20s", "id", "data_id", "time");
  std::string table = text;
  for (const TableColumn& column : columns) {
    std::snprintf(text, sizeof text, " %*s", column.width, column.key.c_str());
    table += text;
  }
  table += "\n";
  for (const HistoryRow& row : rows) {
    std::snprintf(text, sizeof text, "%-7lld %-8u %-20s", row.id, row.dataId,
                  PeopleTimeFromStoreText(row.time).c_str());
    table += text;
    const auto values = DecodeRecord(row.record.data(), row.record.size());
    if (!values) {
      std::snprintf(text, sizeof text, " (%zu bytes)", row.record.size());
      table += text;
    }
    for (std::size_t i = 0; values && i < columns.size(); ++i) {
      const TableColumn& column = columns[i];
      const auto value = values->Value(column.key);
      if (!value) {
        std::snprintf(text, sizeof text, " %*s", column.width, "");
      } else if (column.whole) {
        std::snprintf(text, sizeof text, " %*lld", column.width, static_cast<long long>(*value));
      } else {
        std::snprintf(text, sizeof text, " %*.1f", column.width, *value);
      }
      table += text;
    }
    table += "\n";
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
    json["time"] = IsoInstantFromStoreText(row.time);
    json["record"] = Hex(row.record);
    // The CSV's columns, the same record: a value the record does not have is null.
    const auto values = DecodeRecord(row.record.data(), row.record.size());
    for (const HistoryColumn& column : HistoryColumns()) {
      const auto value = values ? values->Value(column.key) : std::nullopt;
      json[column.key] = !value         ? Json::Value()
                         : column.whole ? Json::Value(static_cast<Json::Int64>(*value))
                                        : Json::Value(*value);
    }
    json["record_stamp"] = values ? Json::Value(values->recordTime) : Json::Value();
    records.append(json);
  }
  return CompactJson(document, false) + "\n";
}

namespace {

// A stored cell as the host shows it: times in ISO 8601, an alarm's value text without the
// nine-digit noise that rows stored by earlier versions carry (events/FloatText.h), the values
// of reports and threshold checks (floats) at the shortest figure.
Json::Value ShownCell(const Json::Value& value, const std::string& column) {
  if (value.isString() && column == "time") return IsoInstantFromStoreText(value.asString());
  if (value.isString() && column == "value_text") return HostValueText(value.asString());
  if (value.type() == Json::realValue) return ShortestFloatDouble(value.asFloat());
  return value;
}

// A cell of a CSV file (the instant, with its offset) or of a table for people (the local time,
// with the zone where the hour repeats).
std::string CellText(const Json::Value& stored, const std::string& column, bool forPeople) {
  if (forPeople && stored.isString() && column == "time") {
    return PeopleTimeFromStoreText(stored.asString());
  }
  const Json::Value value = ShownCell(stored, column);
  if (value.isNull()) return "";
  if (value.isString()) return value.asString();
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
      csv += (i ? "," : "") + CsvField(CellText(row[i], rows.columns[i], false));
    }
    csv += "\n";
  }
  return csv;
}

namespace {

// The columns a terminal gives a UTF-8 text: two for an East Asian wide character (温度), one
// for any other character; a broken sequence counts a column a byte.
std::size_t DisplayWidth(const std::string& text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (length == 1 || i + length > text.size()) {
      ++width;
      ++i;
      continue;
    }
    char32_t code = lead & (0x3F >> (length - 1));
    for (std::size_t k = 1; k < length; ++k) code = (code << 6) | (text[i + k] & 0x3F);
    const bool wide = (code >= 0x1100 && code <= 0x115F) || (code >= 0x2E80 && code <= 0xA4CF) ||
                      (code >= 0xAC00 && code <= 0xD7A3) || (code >= 0xF900 && code <= 0xFAFF) ||
                      (code >= 0xFE30 && code <= 0xFE4F) || (code >= 0xFF00 && code <= 0xFF60) ||
                      (code >= 0xFFE0 && code <= 0xFFE6) || code >= 0x1F300;
    width += wide ? 2 : 1;
    i += length;
  }
  return width;
}

// A column of numbers only (level, active, failed_cycles, value) is aligned to the right.
bool NumericColumn(const StoredRows& rows, std::size_t column) {
  return std::all_of(rows.rows.begin(), rows.rows.end(), [column](const auto& row) {
    return column >= row.size() || row[column].isNull() || row[column].isNumeric();
  });
}

}  // namespace

std::string EventRowsTable(const StoredRows& rows, const std::string& kind) {
  // The cells as shown, the header first; each column as wide as its widest cell.
  std::vector<std::vector<std::string>> lines{rows.columns};
  std::vector<std::size_t> widths(rows.columns.size(), 0);
  for (const auto& row : rows.rows) {
    lines.emplace_back();
    for (std::size_t i = 0; i < row.size() && i < rows.columns.size(); ++i) {
      lines.back().push_back(CellText(row[i], rows.columns[i], true));
    }
  }
  for (const auto& line : lines) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      widths[i] = std::max(widths[i], DisplayWidth(line[i]));
    }
  }
  std::vector<bool> numeric;
  for (std::size_t i = 0; i < widths.size(); ++i) numeric.push_back(NumericColumn(rows, i));
  std::string table;
  for (const auto& line : lines) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      const std::string padding(widths[i] - DisplayWidth(line[i]), ' ');
      const bool last = i + 1 == line.size();
      text += (i ? "  " : "") + (numeric[i] ? padding + line[i]
                                 : last     ? line[i]
                                            : line[i] + padding);
    }
    table += text.substr(0, text.find_last_not_of(' ') + 1) + "\n";
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
      json[column] = ShownCell(row[i], column);
    }
    list.append(json);
  }
  return CompactJson(document, false) + "\n";
}

std::string SourceText(Level source) {
  return source == Level::kRaw ? "the records"
                               : "the " + std::string(FactsOf(source).name) + " rollups";
}

namespace {

// One figure of a rollup column (0 min, 1 mean, 2 max); nothing where the device has none.
std::optional<double> Figure(const Aggregate& row, std::size_t column, int which) {
  const auto& figures = row.fields[column];
  if (!figures) return std::nullopt;
  return which == 0 ? figures->min : which == 1 ? figures->Mean(row.count) : figures->max;
}

const char* const kFigureNames[] = {"min", "mean", "max"};
// A mean has more places than the tenths it is made of.
const char* const kFigureFormats[] = {"%.1f", "%.2f", "%.1f"};

}  // namespace

std::string AggregatesCsv(const std::vector<Aggregate>& rows) {
  std::string csv = "data_id,time,count";
  for (const HistoryColumn& column : RollupColumns()) {
    for (const char* name : kFigureNames) csv += "," + column.key + "_" + name;
  }
  csv += "\n";
  for (const Aggregate& row : rows) {
    csv += std::to_string(row.dataId) + "," + IsoInstantFromStoreText(row.time) + "," +
           std::to_string(row.count);
    for (std::size_t c = 0; c < RollupColumns().size(); ++c) {
      for (int which = 0; which < 3; ++which) {
        csv += ",";
        if (const auto value = Figure(row, c, which)) csv += Format(kFigureFormats[which], *value);
      }
    }
    csv += "\n";
  }
  return csv;
}

std::string AggregatesTable(const std::vector<Aggregate>& rows, Level bucket, Level source) {
  char text[160];
  std::string table =
      std::string("per ") + FactsOf(bucket).name + ", from " + SourceText(source) + "\n";
  std::snprintf(text, sizeof text, "%-8s %-20s %6s", "data_id", "time", "count");
  table += text;
  // Each value's column as wide as its name, "temperature min/mean/max".
  std::vector<int> widths;
  for (const HistoryColumn& column : RollupColumns()) {
    const std::string name = column.key + " min/mean/max";
    widths.push_back(static_cast<int>(name.size()));
    std::snprintf(text, sizeof text, "  %s", name.c_str());
    table += text;
  }
  table += "\n";
  for (const Aggregate& row : rows) {
    std::snprintf(text, sizeof text, "%-8u %-20s %6lld", row.dataId,
                  PeopleTimeFromStoreText(row.time).c_str(), row.count);
    table += text;
    for (std::size_t c = 0; c < RollupColumns().size(); ++c) {
      std::string cell;
      for (int which = 0; which < 3; ++which) {
        const auto value = Figure(row, c, which);
        cell += (which ? "/" : "") + (value ? Format(kFigureFormats[which], *value) : "");
      }
      std::snprintf(text, sizeof text, "  %-*s", widths[c], cell.c_str());
      table += text;
    }
    table += "\n";
  }
  return table + std::to_string(rows.size()) + " " + FactsOf(bucket).name + "(s)\n";
}

std::string AggregatesJsonDocument(const std::vector<Aggregate>& rows, Level bucket, Level source) {
  Json::Value document(Json::objectValue);
  document["command"] = "history";
  document["every"] = FactsOf(bucket).every;
  document["from"] = FactsOf(source).table;  // "history", "rollup_minutes", "rollup_hours"
  Json::Value& list = document["aggregates"] = Json::Value(Json::arrayValue);
  for (const Aggregate& row : rows) {
    // The CSV's columns, as members.
    Json::Value json(Json::objectValue);
    json["data_id"] = row.dataId;
    json["time"] = IsoInstantFromStoreText(row.time);
    json["count"] = static_cast<Json::Int64>(row.count);
    for (std::size_t c = 0; c < RollupColumns().size(); ++c) {
      for (int which = 0; which < 3; ++which) {
        const auto value = Figure(row, c, which);
        json[RollupColumns()[c].key + "_" + kFigureNames[which]] =
            value ? Json::Value(*value) : Json::Value();
      }
    }
    list.append(json);
  }
  return CompactJson(document, false) + "\n";
}
