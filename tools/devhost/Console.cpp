#include "Console.h"

#include <json/reader.h>
#include <json/writer.h>

#include <memory>
#include <sstream>

namespace {

std::string OneDecimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

Json::Value Event(const char* name, uint32_t dataId) {
  Json::Value json(Json::objectValue);
  json["event"] = name;
  json["data_id"] = dataId;
  return json;
}

void AddValues(Json::Value& json, const RecordValues& values) {
  json["temperature"] = values.temperature;
  json["humidity"] = values.humidity;
  json["pressure"] = values.pressure;
  json["record_time"] = values.stamp;
}

std::string ValuesText(const std::optional<RecordValues>& values) {
  if (!values) return "record of another layout";
  return "temperature " + OneDecimal(values->temperature) + "  humidity " +
         OneDecimal(values->humidity) + "  pressure " + OneDecimal(values->pressure);
}

std::string Padded(const std::string& word, std::size_t width) {
  return word.size() >= width ? word + " " : word + std::string(width - word.size(), ' ');
}

std::string Prefix(const char* word, uint32_t dataId) {
  return Padded(word, 9) + Padded(std::to_string(dataId), 6);
}

}  // namespace

std::string CompactJson(const Json::Value& value, bool exact) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  if (!exact) builder["precision"] = 10;
  return Json::writeString(builder, value);
}

void Console::Emit(const std::string& text, const Json::Value& json, bool exact) {
  const std::string line = (json_ ? CompactJson(json, exact) : text) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

void Console::Notice(const std::string& text) {
  Json::Value json(Json::objectValue);
  json["event"] = "notice";
  json["text"] = text;
  Emit(text, json);
}

void Console::Cycle(uint32_t dataId, const std::optional<RecordValues>& values,
                    std::size_t activeAlarms) {
  Json::Value json = Event("cycle", dataId);
  if (values) AddValues(json, *values);
  json["alarms_active"] = static_cast<Json::UInt64>(activeAlarms);
  Emit(Prefix("cycle", dataId) + ValuesText(values) + "  alarms " + std::to_string(activeAlarms),
       json);
}

void Console::Restored(uint32_t dataId, const std::optional<RecordValues>& values) {
  Json::Value json = Event("restored", dataId);
  if (values) AddValues(json, *values);
  Emit(Prefix("restored", dataId) + "last stored record: " + ValuesText(values), json);
}

void Console::Alarm(const AlarmEvent& event) {
  Json::Value json = Event(event.active ? "alarm_raised" : "alarm_cleared", event.dataId);
  json["alarm_id"] = event.alarmId;
  json["signal"] = event.signalName;
  json["level"] = event.level;
  json["value"] = event.valueText;
  json["text"] = event.alarmText;
  const std::string head = event.active ? "alarm raised" : "alarm cleared";
  const std::string detail = event.active ? event.alarmText : "value " + event.valueText;
  Emit(Padded(head, 15) + Padded(std::to_string(event.dataId), 6) + event.alarmId + " (" +
           event.signalName + ", level " + std::to_string(event.level) + "): " + detail,
       json);
}

void Console::Report(uint32_t dataId, const std::string& signalId, float value) {
  Json::Value json = Event("report", dataId);
  json["signal_id"] = signalId;
  json["value"] = value;
  Emit(Prefix("report", dataId) + signalId + " " + OneDecimal(value), json);
}

void Console::Error(uint32_t dataId, const std::string& what, unsigned long errors) {
  Json::Value json = Event("error", dataId);
  json["what"] = what;
  json["errors"] = static_cast<Json::UInt64>(errors);
  Emit(Prefix("error", dataId) + what + " (errors " + std::to_string(errors) + ")", json);
}

void Console::WriteOutcome(uint32_t dataId, uint16_t address, const std::vector<uint16_t>& values,
                           const std::string& outcome) {
  Json::Value json = Event("write", dataId);
  json["address"] = address;
  json["values"] = Json::Value(Json::arrayValue);
  std::string list;
  for (uint16_t value : values) {
    json["values"].append(value);
    list += (list.empty() ? "" : ", ") + std::to_string(value);
  }
  json["outcome"] = outcome;
  const std::string target = values.size() == 1 ? "register " + std::to_string(address)
                                                : "registers " + std::to_string(address) + "-" +
                                                      std::to_string(address + values.size() - 1);
  Emit(Prefix("write", dataId) + target + " = " + list + ": " + outcome, json);
}

void Console::Status(uint32_t dataId, const std::string& documentText) {
  Json::Value json = Event("status", dataId);
  Json::Value document;
  std::istringstream stream(documentText);
  std::string errors;
  if (Json::parseFromStream(Json::CharReaderBuilder(), stream, &document, &errors)) {
    json["document"] = document;
    // The device's text may escape every Chinese character; shown re-written in plain UTF-8.
    Emit(Prefix("status", dataId) + CompactJson(document), json, true);
    return;
  }
  json["document_text"] = documentText;
  Emit(Prefix("status", dataId) + documentText, json, true);
}

void Console::Summary(uint32_t dataId, unsigned long cycles, unsigned long errors) {
  Json::Value json = Event("summary", dataId);
  json["cycles"] = static_cast<Json::UInt64>(cycles);
  json["errors"] = static_cast<Json::UInt64>(errors);
  Emit(Prefix("summary", dataId) + "cycles " + std::to_string(cycles) + "  errors " +
           std::to_string(errors),
       json);
}
