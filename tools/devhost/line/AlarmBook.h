// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "events/DeviceTypes.h"
#include "events/Event.h"
#include "line/AlarmRecovery.h"

// What a rule report came to: a change of the alarm's active flag to tell, or a person told
// that an alarm restored active is kept so (at most once per alarm and restart).
struct AlarmNote {
  bool changed = false;
  std::string keptActive;
};

// One device's alarms as the host keeps them: the last change of each, the rules announced in
// this run, and the alarms restored active that the device has not confirmed since. The device
// reports every rule every cycle; only a change of the active flag is an event. The device
// forgets its alarms at a restart, so its first "inactive" then only says the value is short of
// the limit: an alarm restored active stays so until the value passes its recover value (from
// the device's settings). Without a known rule the device's word is taken.
class AlarmBook {
 public:
  // The recover value of each threshold alarm, by alarm id (AlarmRecoveries).
  void SetRules(std::map<std::string, AlarmRecovery> rules) { rules_ = std::move(rules); }
  // The last change of each alarm as stored; those active wait for the device's confirmation.
  void Restore(const std::map<std::string, AlarmEvent>& alarms);
  // Whether a report says what the book knows already of an announced rule (the usual case,
  // which builds no event).
  bool Repeats(const std::string& alarmId, bool active);
  AlarmNote Note(const AlarmEvent& event);
  // The rule's name the first time it is reported in this run: "Temperature high (T01001)",
  // the side from the rule's limit, the signal from the field of `type` that the rule's settings
  // member names; otherwise the device's signal name. Nothing once it was announced.
  std::optional<std::string> Announce(const AlarmEvent& event, const DeviceType* type);
  const std::map<std::string, AlarmEvent>& LastChanges() const { return alarms_; }
  std::size_t ActiveCount() const;
  std::vector<AlarmEvent> Active() const;

 private:
  // Whether an "inactive" report of an alarm restored active is no clear yet; sets `note`'s
  // text the first time.
  bool HeldAfterRestart(const AlarmEvent& event, AlarmNote& note);

  std::map<std::string, AlarmEvent> alarms_;  // the last change of each alarm
  std::set<std::string> announced_;           // the rules reported in this run
  std::map<std::string, AlarmRecovery> rules_;
  // Alarms restored active that the device has not reported active since: whether the host
  // said it keeps one active.
  std::map<std::string, bool> unconfirmed_;
};
