#include "events/Console.h"

#include <json/reader.h>
#include <json/writer.h>

#include <charconv>
#include <memory>
#include <sstream>

namespace {

// The same text as "%.1f", without printf's format parsing and locale.
std::string OneDecimal(double value) {
  char text[400];  // the longest double in fixed notation fits
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1).ptr;
  return std::string(text, end);
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

void Console::Write(std::string line) {
  line += '\n';
  std::lock_guard<std::mutex> lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

template <typename MakeText, typename MakeJson>
void Console::Emit(const MakeText& text, const MakeJson& json, bool exact) {
  Write(json_ ? CompactJson(json(), exact) : text());
}

void Console::Notice(const std::string& text) {
  Emit([&] { return text; },
       [&] {
         Json::Value json(Json::objectValue);
         json["event"] = "notice";
         json["text"] = text;
         return json;
       });
}

void Console::Cycle(uint32_t dataId, const std::optional<RecordValues>& values,
                    std::size_t activeAlarms) {
  Emit(
      [&] {
        return Prefix("cycle", dataId) + ValuesText(values) + "  alarms " +
               std::to_string(activeAlarms);
      },
      [&] {
        Json::Value json = Event("cycle", dataId);
        if (values) AddValues(json, *values);
        json["alarms_active"] = static_cast<Json::UInt64>(activeAlarms);
        return json;
      });
}

void Console::Restored(uint32_t dataId, const std::optional<RecordValues>& values) {
  Emit([&] { return Prefix("restored", dataId) + "last stored record: " + ValuesText(values); },
       [&] {
         Json::Value json = Event("restored", dataId);
         if (values) AddValues(json, *values);
         return json;
       });
}

void Console::Alarm(const AlarmEvent& event) {
  Emit(
      [&] {
        const std::string head = event.active ? "alarm raised" : "alarm cleared";
        const std::string detail = event.active ? event.alarmText : "value " + event.valueText;
        return Padded(head, 15) + Padded(std::to_string(event.dataId), 6) + event.alarmId + " (" +
               event.signalName + ", level " + std::to_string(event.level) + "): " + detail;
      },
      [&] {
        Json::Value json = Event(event.active ? "alarm_raised" : "alarm_cleared", event.dataId);
        json["alarm_id"] = event.alarmId;
        json["signal"] = event.signalName;
        json["level"] = event.level;
        json["value"] = event.valueText;
        json["text"] = event.alarmText;
        return json;
      });
}

void Console::Report(uint32_t dataId, const std::string& signalId, float value) {
  Emit([&] { return Prefix("report", dataId) + signalId + " " + OneDecimal(value); },
       [&] {
         Json::Value json = Event("report", dataId);
         json["signal_id"] = signalId;
         json["value"] = value;
         return json;
       });
}

void Console::Error(uint32_t dataId, const std::string& what, unsigned long errors) {
  Emit([&] { return Prefix("error", dataId) + what + " (errors " + std::to_string(errors) + ")"; },
       [&] {
         Json::Value json = Event("error", dataId);
         json["what"] = what;
         json["errors"] = static_cast<Json::UInt64>(errors);
         return json;
       });
}

void Console::WriteOutcome(uint32_t dataId, uint16_t address, const std::vector<uint16_t>& values,
                           const std::string& outcome) {
  Emit(
      [&] {
        std::string list;
        for (uint16_t value : values) list += (list.empty() ? "" : ", ") + std::to_string(value);
        const std::string target = values.size() == 1
                                       ? "register " + std::to_string(address)
                                       : "registers " + std::to_string(address) + "-" +
                                             std::to_string(address + values.size() - 1);
        return Prefix("write", dataId) + target + " = " + list + ": " + outcome;
      },
      [&] {
        Json::Value json = Event("write", dataId);
        json["address"] = address;
        json["values"] = Json::Value(Json::arrayValue);
        for (uint16_t value : values) json["values"].append(value);
        json["outcome"] = outcome;
        return json;
      });
}

void Console::Status(uint32_t dataId, const std::string& documentText) {
  Json::Value document;
  std::istringstream stream(documentText);
  std::string errors;
  const bool parsed = Json::parseFromStream(Json::CharReaderBuilder(), stream, &document, &errors);
  Emit(
      [&] {
        // The device's text may escape every Chinese character; shown re-written in plain UTF-8.
        return Prefix("status", dataId) + (parsed ? CompactJson(document) : documentText);
      },
      [&] {
        Json::Value json = Event("status", dataId);
        if (parsed) {
          json["document"] = document;
        } else {
          json["document_text"] = documentText;
        }
        return json;
      },
      true);
}

void Console::Summary(uint32_t dataId, unsigned long cycles, unsigned long errors) {
  Emit(
      [&] {
        return Prefix("summary", dataId) + "cycles " + std::to_string(cycles) + "  errors " +
               std::to_string(errors);
      },
      [&] {
        Json::Value json = Event("summary", dataId);
        json["cycles"] = static_cast<Json::UInt64>(cycles);
        json["errors"] = static_cast<Json::UInt64>(errors);
        return json;
      });
}
