// SPDX-License-Identifier: Apache-2.0
#include "events/EventFormat.h"

#include <json/reader.h>
#include <json/writer.h>

#include <charconv>
#include <memory>
#include <sstream>
#include <type_traits>

#include "events/FloatText.h"
#include "events/TimeRange.h"

namespace {

// The same text as "%.1f", without printf's format parsing and locale.
std::string OneDecimal(double value) {
  char text[400];  // the longest double in fixed notation fits
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1).ptr;
  return std::string(text, end);
}

std::string PaddedWord(const std::string& word, std::size_t width) {
  return word.size() >= width ? word + " " : word + std::string(width - word.size(), ' ');
}

std::string Prefix(const char* word, uint32_t dataId) {
  return PaddedWord(word, 9) + PaddedWord(std::to_string(dataId), 6);
}

// "temperature 23.4  humidity 45.6  pressure 1013.2": the measured fields of the record's type.
std::string ValuesText(const std::optional<RecordValues>& values) {
  if (!values) return "record of another layout";
  std::string text;
  const auto& fields = values->type->fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].kind != FieldKind::kMeasured) continue;
    const double value = values->values[i];
    text += (text.empty() ? "" : "  ") + fields[i].key + " " +
            (fields[i].whole ? std::to_string(static_cast<long long>(value)) : OneDecimal(value));
  }
  return text;
}

// "-15 (65521)": what was written, and the raw register where that differs.
std::string ValuesList(const std::vector<uint16_t>& values, const std::vector<int>& typed) {
  std::string list;
  for (std::size_t i = 0; i < values.size(); ++i) {
    list += list.empty() ? "" : ", ";
    const bool differs = i < typed.size() && typed[i] != values[i];
    list += differs ? std::to_string(typed[i]) + " (" + std::to_string(values[i]) + ")"
                    : std::to_string(values[i]);
  }
  return list;
}

std::string WriteTarget(uint16_t address, std::size_t count) {
  if (count == 1) return "register " + std::to_string(address);
  return "registers " + std::to_string(address) + "-" + std::to_string(address + count - 1);
}

// The device's text may escape every Chinese character; it is shown re-written in plain UTF-8.
std::optional<Json::Value> ParsedDocument(const std::string& text) {
  Json::Value document;
  std::istringstream stream(text);
  std::string errors;
  if (!Json::parseFromStream(Json::CharReaderBuilder(), stream, &document, &errors)) {
    return std::nullopt;
  }
  return document;
}

std::string DocumentText(const std::optional<std::string>& text) {
  if (!text) return "(no status document)";
  const auto parsed = ParsedDocument(*text);
  return parsed ? CompactJson(*parsed) : *text;
}

Json::Value Event(const char* name, uint32_t dataId) {
  Json::Value json(Json::objectValue);
  json["event"] = name;
  json["data_id"] = dataId;
  return json;
}

void AddValues(Json::Value& json, const std::optional<RecordValues>& values) {
  if (!values) return;
  const auto& fields = values->type->fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].kind == FieldKind::kMeasured) {
      json[fields[i].key] = FieldJson(fields[i], values->values[i]);
    }
  }
  json["record_time"] = values->recordTime;
}

void AddAlarm(Json::Value& json, const AlarmEvent& alarm) {
  json["alarm_id"] = alarm.alarmId;
  json["signal"] = alarm.signalName;
  json["level"] = alarm.level;
  json["value"] = alarm.valueText;
  json["text"] = alarm.alarmText;
}

// ---- text lines ---------------------------------------------------------------------------------

struct TextOf {
  std::optional<std::string> operator()(const CycleEvent& e) const {
    return Prefix("cycle", e.dataId) + ValuesText(e.values) + "  alarms " +
           std::to_string(e.activeAlarms);
  }
  std::optional<std::string> operator()(const RecordSentEvent&) const { return std::nullopt; }
  std::optional<std::string> operator()(const ThresholdEvent&) const { return std::nullopt; }
  std::optional<std::string> operator()(const RestoredEvent& e) const {
    return Prefix("restored", e.dataId) + "last stored record: " + ValuesText(e.values);
  }
  std::optional<std::string> operator()(const AlarmEvent& e) const {
    const std::string head = e.active ? "alarm raised" : "alarm cleared";
    const std::string detail = e.active ? e.alarmText : "value " + e.valueText;
    return PaddedWord(head, 15) + PaddedWord(std::to_string(e.dataId), 6) + e.alarmId + " (" +
           e.signalName + ", level " + std::to_string(e.level) + "): " + detail;
  }
  std::optional<std::string> operator()(const ReportEvent& e) const {
    return Prefix("report", e.dataId) + e.signalId + " " + OneDecimal(e.value);
  }
  std::optional<std::string> operator()(const ErrorEvent& e) const {
    if (e.quiet) return std::nullopt;
    return Prefix("error", e.dataId) + e.what + " (errors " + std::to_string(e.errors) + ")";
  }
  std::optional<std::string> operator()(const WriteEvent& e) const {
    return Prefix("write", e.dataId) + WriteTarget(e.address, e.values.size()) + " = " +
           ValuesList(e.values, e.typed) + ": " + e.outcome;
  }
  std::optional<std::string> operator()(const LinkEvent& e) const {
    const std::string cycles = std::to_string(e.failedCycles) + " failed cycle(s)";
    return Prefix("link", e.dataId) +
           (e.lost ? "lost after " + cycles + ": " + e.failure : "restored after " + cycles);
  }
  std::optional<std::string> operator()(const StatusEvent& e) const {
    if (e.answered) return Prefix("status", e.dataId) + DocumentText(e.document);
    std::string text = Prefix("status", e.dataId) + "no answer from the sensor: " + e.failure;
    if (!e.document) return text + "\n" + Prefix("status", e.dataId) + "no stored record";
    return text + "\n" + Prefix("status", e.dataId) + "last stored record, stored " + e.storedAt +
           ": " + DocumentText(e.document);
  }
  std::optional<std::string> operator()(const ActiveAlarmsEvent& e) const {
    if (e.active.empty()) return Prefix("alarms", e.dataId) + "none active";
    std::string lines;
    for (const AlarmEvent& alarm : e.active) {
      if (!lines.empty()) lines += "\n";
      lines += Prefix("alarm", e.dataId) + alarm.alarmId + " (" + alarm.signalName + ", level " +
               std::to_string(alarm.level) + ") active since " + alarm.time + ": " +
               alarm.alarmText;
    }
    return lines;
  }
  std::optional<std::string> operator()(const SummaryEvent& e) const {
    return Prefix("summary", e.dataId) + "cycles " + std::to_string(e.cycles) + "  errors " +
           std::to_string(e.errors);
  }
  std::optional<std::string> operator()(const CommissionEvent& e) const {
    return Prefix(e.speed ? "rebaud" : "readdress", e.dataId) + std::to_string(e.from) + " -> " +
           std::to_string(e.to) + ": " + e.outcome;
  }
  std::optional<std::string> operator()(const AlarmRuleEvent&) const { return std::nullopt; }
  std::optional<std::string> operator()(const MqttEvent& e) const {
    if (e.connected) return Prefix("mqtt", e.dataId) + "connected to " + e.broker;
    if (e.unreachable) {
      return Prefix("mqtt", e.dataId) + "cannot connect to " + e.broker + ": " + e.reason +
             "; nothing is published until it can (polling goes on, the bridge keeps trying)";
    }
    return Prefix("mqtt", e.dataId) + "disconnected (" + e.reason + ")";
  }
  std::optional<std::string> operator()(const MqttSummaryEvent& e) const {
    return Prefix("mqtt", e.dataId) + "published " + std::to_string(e.published) + "  dropped " +
           std::to_string(e.dropped) + "  superseded " + std::to_string(e.superseded);
  }
  std::optional<std::string> operator()(const NoticeEvent& e) const { return e.text; }
};

// ---- JSON objects -------------------------------------------------------------------------------

struct JsonOf {
  std::optional<Json::Value> operator()(const CycleEvent& e) const {
    Json::Value json = Event("cycle", e.dataId);
    AddValues(json, e.values);
    json["alarms_active"] = static_cast<Json::UInt64>(e.activeAlarms);
    return json;
  }
  std::optional<Json::Value> operator()(const RecordSentEvent&) const { return std::nullopt; }
  std::optional<Json::Value> operator()(const ThresholdEvent&) const { return std::nullopt; }
  std::optional<Json::Value> operator()(const RestoredEvent& e) const {
    Json::Value json = Event("restored", e.dataId);
    AddValues(json, e.values);
    return json;
  }
  std::optional<Json::Value> operator()(const AlarmEvent& e) const {
    Json::Value json = Event(e.active ? "alarm_raised" : "alarm_cleared", e.dataId);
    AddAlarm(json, e);
    return json;
  }
  std::optional<Json::Value> operator()(const ReportEvent& e) const {
    Json::Value json = Event("report", e.dataId);
    json["signal_id"] = e.signalId;
    json["value"] = ShortestFloatDouble(e.value);
    return json;
  }
  std::optional<Json::Value> operator()(const ErrorEvent& e) const {
    if (e.quiet) return std::nullopt;
    Json::Value json = Event("error", e.dataId);
    json["what"] = e.what;
    json["errors"] = static_cast<Json::UInt64>(e.errors);
    return json;
  }
  std::optional<Json::Value> operator()(const WriteEvent& e) const {
    Json::Value json = Event("write", e.dataId);
    json["address"] = e.address;
    json["values"] = Json::Value(Json::arrayValue);
    for (uint16_t value : e.values) json["values"].append(value);
    json["typed_values"] = Json::Value(Json::arrayValue);
    for (std::size_t i = 0; i < e.values.size(); ++i) {
      json["typed_values"].append(i < e.typed.size() ? e.typed[i] : e.values[i]);
    }
    json["outcome"] = e.outcome;
    return json;
  }
  std::optional<Json::Value> operator()(const LinkEvent& e) const {
    Json::Value json = Event(e.lost ? "link_lost" : "link_restored", e.dataId);
    json["failed_cycles"] = static_cast<Json::UInt64>(e.failedCycles);
    if (e.lost) json["failure"] = e.failure;
    return json;
  }
  std::optional<Json::Value> operator()(const StatusEvent& e) const {
    Json::Value json = Event("status", e.dataId);
    json["answered"] = e.answered;
    if (!e.answered) {
      json["failure"] = e.failure;
      json["stored_at"] = IsoFromStoreText(e.storedAt);
    }
    if (e.document) {
      if (const auto parsed = ParsedDocument(*e.document)) {
        json["document"] = *parsed;
      } else {
        json["document_text"] = *e.document;
      }
    }
    return json;
  }
  std::optional<Json::Value> operator()(const ActiveAlarmsEvent& e) const {
    Json::Value json = Event("alarms", e.dataId);
    json["active"] = Json::Value(Json::arrayValue);
    for (const AlarmEvent& alarm : e.active) {
      Json::Value active(Json::objectValue);
      AddAlarm(active, alarm);
      active["since"] = IsoFromStoreText(alarm.time);
      json["active"].append(active);
    }
    return json;
  }
  std::optional<Json::Value> operator()(const SummaryEvent& e) const {
    Json::Value json = Event("summary", e.dataId);
    json["cycles"] = static_cast<Json::UInt64>(e.cycles);
    json["errors"] = static_cast<Json::UInt64>(e.errors);
    json["failed_polls"] = static_cast<Json::UInt64>(e.failedPolls);
    return json;
  }
  std::optional<Json::Value> operator()(const CommissionEvent& e) const {
    Json::Value json = Event(e.speed ? "rebaud" : "readdress", e.dataId);
    json["from"] = e.from;
    json["to"] = e.to;
    json["verified"] = e.verified;
    json["address"] = e.address;
    json["baud"] = e.baud;
    json["outcome"] = e.outcome;
    return json;
  }
  std::optional<Json::Value> operator()(const AlarmRuleEvent&) const { return std::nullopt; }
  std::optional<Json::Value> operator()(const MqttEvent& e) const {
    Json::Value json = Event(e.connected ? "mqtt_connected" : "mqtt_disconnected", e.dataId);
    json["broker"] = e.broker;
    if (!e.connected) json["reason"] = e.reason;
    if (e.unreachable) json["unreachable"] = true;
    return json;
  }
  std::optional<Json::Value> operator()(const MqttSummaryEvent& e) const {
    Json::Value json = Event("mqtt_summary", e.dataId);
    json["published"] = static_cast<Json::UInt64>(e.published);
    json["dropped"] = static_cast<Json::UInt64>(e.dropped);
    json["superseded"] = static_cast<Json::UInt64>(e.superseded);
    return json;
  }
  std::optional<Json::Value> operator()(const NoticeEvent& e) const {
    Json::Value json(Json::objectValue);
    json["event"] = "notice";
    json["text"] = e.text;
    if (e.level != LogLevel::kNotice) json["level"] = LogLevelName(e.level);
    return json;
  }
};

// ---- levels -------------------------------------------------------------------------------------

// Per poll: detail. What a request asked to see (a status document, the active alarms) is the
// client's answer; the host's own output only echoes it: detail too.
struct LevelOf {
  LogLevel operator()(const CycleEvent&) const { return LogLevel::kDetail; }
  LogLevel operator()(const RecordSentEvent&) const { return LogLevel::kDetail; }
  LogLevel operator()(const ThresholdEvent&) const { return LogLevel::kDetail; }
  LogLevel operator()(const StatusEvent&) const { return LogLevel::kDetail; }
  LogLevel operator()(const ActiveAlarmsEvent&) const { return LogLevel::kDetail; }
  LogLevel operator()(const RestoredEvent&) const { return LogLevel::kNotice; }
  LogLevel operator()(const AlarmEvent&) const { return LogLevel::kNotice; }
  LogLevel operator()(const AlarmRuleEvent&) const { return LogLevel::kNotice; }
  LogLevel operator()(const ReportEvent&) const { return LogLevel::kNotice; }
  LogLevel operator()(const ErrorEvent&) const { return LogLevel::kWarning; }
  LogLevel operator()(const WriteEvent&) const { return LogLevel::kNotice; }
  LogLevel operator()(const LinkEvent& e) const {
    return e.lost ? LogLevel::kWarning : LogLevel::kNotice;
  }
  LogLevel operator()(const SummaryEvent&) const { return LogLevel::kNotice; }
  LogLevel operator()(const CommissionEvent&) const { return LogLevel::kNotice; }
  LogLevel operator()(const MqttEvent& e) const {
    return e.connected ? LogLevel::kNotice : LogLevel::kWarning;
  }
  LogLevel operator()(const MqttSummaryEvent&) const { return LogLevel::kNotice; }
  LogLevel operator()(const NoticeEvent& e) const { return e.level; }
};

}  // namespace

Json::Value FieldJson(const RecordField& field, double value) {
  if (field.whole) return Json::Value(static_cast<Json::Int64>(value));
  return Json::Value(value);
}

std::string LinkStillLostText(uint32_t dataId, long hours, unsigned long failedCycles) {
  return Prefix("link", dataId) + "still lost for " + std::to_string(hours) +
         " h: " + std::to_string(failedCycles) + " failed cycles";
}

std::string MqttDroppedText(uint32_t dataId, unsigned long dropped, int queueLimit) {
  return Prefix("mqtt", dataId) + std::to_string(dropped) +
         " message(s) dropped while the broker was away, the oldest first: the queue holds " +
         std::to_string(queueLimit) + " (mqtt.queueLimit)";
}

std::optional<std::string> EventLine(const EventBody& event) { return std::visit(TextOf{}, event); }

std::optional<Json::Value> EventObject(const EventBody& event) {
  return std::visit(JsonOf{}, event);
}

LogLevel EventLevel(const EventBody& event) { return std::visit(LevelOf{}, event); }

bool NeedsExactNumbers(const EventBody& event) {
  return std::holds_alternative<StatusEvent>(event);
}

std::string CompactJson(const Json::Value& value, bool exact) {
  // Making a writer (its settings are JSON values, looked up by name) cost more than writing a
  // cycle's state with it: each thread keeps one writer of each kind, and its stream.
  thread_local std::unique_ptr<Json::StreamWriter> writers[2];
  thread_local std::ostringstream text;
  std::unique_ptr<Json::StreamWriter>& writer = writers[exact ? 1 : 0];
  if (!writer) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    if (!exact) builder["precision"] = 10;
    writer.reset(builder.newStreamWriter());
  }
  text.str(std::string());
  writer->write(value, &text);
  return text.str();
}
