// SPDX-License-Identifier: Apache-2.0
#include "prometheus/MetricsBook.h"

#include <cmath>
#include <cstdio>
#include <sstream>

namespace {

// A field's unit as Prometheus names it: base units, spelled out, and the factor to them.
struct BaseUnit {
  const char* suffix;
  double factor;
};

BaseUnit BaseUnitOf(const std::string& unit) {
  if (unit == "°C") return {"_celsius", 1};
  if (unit == "%RH" || unit == "%") return {"_ratio", 0.01};
  if (unit == "hPa") return {"_pascals", 100};
  return {"", 1};
}

std::string MetricNumber(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[32];
  std::snprintf(text, sizeof text, "%.12g", value);
  return text;
}

std::string LabelValue(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
  }
  return escaped;
}

}  // namespace

// One metric family after another: HELP and TYPE, then every sample of the name.
struct MetricsBook::Writer {
  std::ostringstream out;

  void Family(const std::string& name, const char* type, const std::string& help) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
  }
  void Sample(const std::string& name, const std::string& labels, double value) {
    out << name << '{' << labels << "} " << MetricNumber(value) << '\n';
  }
};

void MetricsBook::AddDevice(uint32_t dataId, const DeviceType* type, const std::string& line) {
  Device& device = devices_[dataId];
  device.type = type;
  device.line = line;
}

void MetricsBook::Take(const HostEvent& event) {
  if (const auto* cycle = std::get_if<CycleEvent>(&event.body)) {
    const auto found = devices_.find(cycle->dataId);
    if (found == devices_.end()) return;
    found->second.values = cycle->values;
    found->second.lastCycle = event.time;
  } else if (const auto* link = std::get_if<LinkEvent>(&event.body)) {
    const auto found = devices_.find(link->dataId);
    if (found != devices_.end()) found->second.linkLost = link->lost;
  } else if (const auto* alarm = std::get_if<AlarmEvent>(&event.body)) {
    Alarm(alarm->dataId, *alarm);
  } else if (const auto* rule = std::get_if<AlarmRuleEvent>(&event.body)) {
    Alarm(rule->dataId, rule->state);
  } else if (const auto* error = std::get_if<ErrorEvent>(&event.body)) {
    const auto found = devices_.find(error->dataId);
    if (found != devices_.end() && error->fromStore) ++found->second.storeFailures;
  }
}

// Each measured field as a gauge of its own, in base units, with a sample per device that has
// values; a field of the same name and unit in several types is one gauge.
void MetricsBook::RenderValues(Writer& writer, std::map<uint32_t, std::string>& labels) const {
  struct Family {
    std::string help;
    std::vector<std::pair<uint32_t, double>> samples;
  };
  std::map<std::string, Family> families;
  for (const auto& [dataId, device] : devices_) {
    if (!device.values) continue;
    const DeviceType& type = *device.values->type;
    for (std::size_t i = 0; i < type.fields.size() && i < device.values->values.size(); ++i) {
      const RecordField& field = type.fields[i];
      if (field.kind != FieldKind::kMeasured) continue;
      const BaseUnit unit = BaseUnitOf(field.unit);
      Family& family = families["devhost_" + field.key + unit.suffix];
      family.help = field.label + " of the last completed poll cycle";
      family.samples.emplace_back(dataId, device.values->values[i] * unit.factor);
    }
  }
  for (const auto& [name, family] : families) {
    writer.Family(name, "gauge", family.help);
    for (const auto& [dataId, value] : family.samples) writer.Sample(name, labels[dataId], value);
  }
}

void MetricsBook::Alarm(uint32_t dataId, const AlarmEvent& alarm) {
  const auto found = devices_.find(dataId);
  if (found == devices_.end() || alarm.alarmId.empty()) return;
  found->second.alarms[alarm.alarmId] = {alarm.signalName, alarm.active};
}

void MetricsBook::SetCounts(uint32_t dataId, unsigned long cycles, unsigned long failedPolls,
                            unsigned long errors) {
  const auto found = devices_.find(dataId);
  if (found == devices_.end()) return;
  found->second.cycles = cycles;
  found->second.failedPolls = failedPolls;
  found->second.errors = errors;
}

std::string MetricsBook::Render(std::time_t now, const std::vector<SinkCount>& sinks) const {
  Writer writer;
  std::map<uint32_t, std::string> labels;
  for (const auto& [dataId, device] : devices_) {
    labels[dataId] = "data_id=\"" + std::to_string(dataId) + "\",device_type=\"" +
                     LabelValue(device.type != nullptr ? device.type->name : "unknown") +
                     "\",line=\"" + LabelValue(device.line) + "\"";
  }
  RenderValues(writer, labels);
  RenderStates(writer, labels, now);
  RenderCounters(writer, labels, sinks);
  return writer.out.str();
}

// Per device: its link, when its values are from, and each alarm rule's state.
void MetricsBook::RenderStates(Writer& writer, std::map<uint32_t, std::string>& labels,
                               std::time_t now) const {
  writer.Family("devhost_link_up", "gauge",
                "1 while the device answers, 0 once its link counts as lost");
  for (const auto& [dataId, device] : devices_) {
    writer.Sample("devhost_link_up", labels[dataId], device.linkLost ? 0 : 1);
  }
  writer.Family("devhost_last_cycle_timestamp_seconds", "gauge",
                "When the device's last poll cycle completed, in seconds since the epoch");
  for (const auto& [dataId, device] : devices_) {
    if (device.lastCycle != 0) {
      writer.Sample("devhost_last_cycle_timestamp_seconds", labels[dataId],
                    static_cast<double>(device.lastCycle));
    }
  }
  writer.Family("devhost_values_age_seconds", "gauge",
                "How old the device's values are: seconds since its last completed poll cycle");
  for (const auto& [dataId, device] : devices_) {
    if (device.lastCycle != 0) {
      writer.Sample("devhost_values_age_seconds", labels[dataId],
                    static_cast<double>(now > device.lastCycle ? now - device.lastCycle : 0));
    }
  }
  writer.Family("devhost_alarm_active", "gauge", "1 while the alarm rule is raised, else 0");
  for (const auto& [dataId, device] : devices_) {
    for (const auto& [alarmId, state] : device.alarms) {
      writer.Sample("devhost_alarm_active",
                    labels[dataId] + ",alarm_id=\"" + LabelValue(alarmId) + "\",signal=\"" +
                        LabelValue(state.signal) + "\"",
                    state.active ? 1 : 0);
    }
  }
}

// Per device: what the line counted; per sink and device: what the sink did.
void MetricsBook::RenderCounters(Writer& writer, std::map<uint32_t, std::string>& labels,
                                 const std::vector<SinkCount>& sinks) const {
  const std::pair<const char*, unsigned long Device::*> counters[] = {
      {"cycles", &Device::cycles},
      {"failed_polls", &Device::failedPolls},
      {"errors", &Device::errors},
      {"store_failures", &Device::storeFailures}};
  const char* helps[] = {"Poll cycles completed in this run",
                         "Polls that completed no cycle in this run",
                         "Errors counted for the device in this run",
                         "Failures of the store reported for the device in this run"};
  for (std::size_t i = 0; i < 4; ++i) {
    const std::string name = std::string("devhost_") + counters[i].first + "_total";
    writer.Family(name, "counter", helps[i]);
    for (const auto& [dataId, device] : devices_) {
      writer.Sample(name, labels[dataId], static_cast<double>(device.*counters[i].second));
    }
  }
  const std::pair<const char*, unsigned long SinkCount::*> sinkCounters[] = {
      {"published", &SinkCount::published},
      {"dropped", &SinkCount::dropped},
      {"superseded", &SinkCount::superseded}};
  const char* sinkHelps[] = {"Messages the sink handed over in this run",
                             "Messages the sink's queues dropped in this run",
                             "Unsent states the sink's queues replaced by newer ones"};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::string name = std::string("devhost_sink_") + sinkCounters[i].first + "_total";
    writer.Family(name, "counter", sinkHelps[i]);
    for (const SinkCount& count : sinks) {
      writer.Sample(name,
                    "sink=\"" + LabelValue(count.sink) + "\",data_id=\"" +
                        std::to_string(count.dataId) + "\"",
                    static_cast<double>(count.*sinkCounters[i].second));
    }
  }
}
