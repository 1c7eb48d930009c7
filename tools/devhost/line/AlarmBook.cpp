// SPDX-License-Identifier: Apache-2.0
#include "line/AlarmBook.h"

void AlarmBook::Restore(const std::map<std::string, AlarmEvent>& alarms) {
  alarms_ = alarms;
  unconfirmed_.clear();
  for (const auto& [id, alarm] : alarms) {
    if (alarm.active) unconfirmed_[id] = false;
  }
}

bool AlarmBook::Repeats(const std::string& alarmId, bool active) {
  const auto known = alarms_.find(alarmId);
  if (known == alarms_.end() || known->second.active != active || announced_.count(alarmId) == 0) {
    return false;
  }
  if (active) unconfirmed_.erase(alarmId);
  return true;
}

AlarmNote AlarmBook::Note(const AlarmEvent& event) {
  AlarmNote note;
  const std::string& alarmId = event.alarmId;
  const auto known = alarms_.find(alarmId);
  const bool wasActive = known != alarms_.end() && known->second.active;
  if (event.active) unconfirmed_.erase(alarmId);
  if (wasActive && !event.active && HeldAfterRestart(event, note)) return note;
  if (known != alarms_.end() && wasActive == event.active) return note;
  const bool firstSeen = known == alarms_.end();
  alarms_[alarmId] = event;
  // First seen inactive: nothing changed.
  note.changed = !firstSeen || event.active;
  return note;
}

bool AlarmBook::HeldAfterRestart(const AlarmEvent& event, AlarmNote& note) {
  const auto held = unconfirmed_.find(event.alarmId);
  if (held == unconfirmed_.end()) return false;
  const auto rule = rules_.find(event.alarmId);
  if (rule == rules_.end() || PastRecover(rule->second, event.valueText)) {
    unconfirmed_.erase(held);
    return false;
  }
  if (!held->second) {
    note.keptActive = "alarm " + event.alarmId + " of device " + std::to_string(event.dataId) +
                      " kept active after the restart: value " + event.valueText +
                      " has not passed its recover value";
    held->second = true;
  }
  return true;
}

std::optional<std::string> AlarmBook::Announce(const AlarmEvent& event, const DeviceType* type) {
  if (!announced_.insert(event.alarmId).second) return std::nullopt;
  const auto rule = rules_.find(event.alarmId);
  if (rule == rules_.end()) return "Alarm " + event.alarmId + " (" + event.signalName + ")";
  std::string signal = event.signalName;
  if (type != nullptr) {
    for (const RecordField& field : type->fields) {
      if (field.key == rule->second.member) signal = field.label;
    }
  }
  const std::string side =
      std::string(rule->second.upper ? "high" : "low") + (rule->second.second ? " 2" : "");
  return signal + " " + side + " (" + event.alarmId + ")";
}

std::size_t AlarmBook::ActiveCount() const {
  std::size_t active = 0;
  for (const auto& alarm : alarms_) active += alarm.second.active ? 1 : 0;
  return active;
}

std::vector<AlarmEvent> AlarmBook::Active() const {
  std::vector<AlarmEvent> active;
  for (const auto& alarm : alarms_) {
    if (alarm.second.active) active.push_back(alarm.second);
  }
  return active;
}
