// SPDX-License-Identifier: Apache-2.0
#pragma once
// Everything that happens on a line and that a person or a program may want to know, as small
// values. The line emits each one once; sinks (console, store, a control-socket reply) take
// what they need from it.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "events/LogLevel.h"
#include "events/RecordView.h"

// A poll cycle completed: the record as the device handed it to its history.
struct CycleEvent {
  uint32_t dataId = 0;
  std::vector<unsigned char> record;
  std::optional<RecordValues> values;  // none for a record of another layout
  std::size_t activeAlarms = 0;
};

// The device's last record went out with SendSP under its data code.
struct RecordSentEvent {
  uint32_t dataId = 0;
  int code = 0;
  std::vector<unsigned char> record;
};

// The last stored record was loaded back into the device at start-up.
struct RestoredEvent {
  uint32_t dataId = 0;
  std::optional<RecordValues> values;
};

// A change of an alarm rule's active flag.
struct AlarmEvent {
  uint32_t dataId = 0;
  std::string time;  // when it changed, "YYYY-MM-DD HH:MM:SS" local time
  std::string alarmId;
  std::string signalName;
  int level = 0;
  bool active = false;
  std::string valueText;
  std::string alarmText;
};

// A rule the device evaluated for the first time in this run: its state now, changed or not,
// so that every rule is known from the first evaluation on, not only once it fires.
struct AlarmRuleEvent {
  uint32_t dataId = 0;
  AlarmEvent state;  // the last change the host knows, or the first inactive report
  std::string name;  // which signal and which side where the settings say: "Temperature high"
};

// A value the device handed to the host's threshold check (rule-file mode).
struct ThresholdEvent {
  uint32_t dataId = 0;
  std::string alarmId;
  std::string name;
  float value = 0;
  int kind = 0;
};

struct ReportEvent {
  uint32_t dataId = 0;
  std::string signalId;
  float value = 0;
};

struct ErrorEvent {
  uint32_t dataId = 0;
  std::string what;
  unsigned long errors = 0;  // the device's error count so far, this one included
  bool fromStore = false;    // the store itself failed: it is not asked to keep this one
  bool quiet = false;        // the link is lost already: counted and kept, not shown again
};

struct WriteEvent {
  uint32_t dataId = 0;
  uint16_t address = 0;
  std::vector<uint16_t> values;
  std::string outcome;     // "confirmed", "not confirmed (echo 16 for 15)", "refused by ...", ...
  std::vector<int> typed;  // the values as given (-15 for 65521); empty: as `values`
};

// A device's link went silent for enough cycles, or answered again.
struct LinkEvent {
  uint32_t dataId = 0;
  bool lost = false;
  unsigned long failedCycles = 0;
  std::string failure;  // the last failure
};

// A device's status document, or why there is no fresh one.
struct StatusEvent {
  uint32_t dataId = 0;
  bool answered = false;
  std::string failure;                  // when not answered: the last failure
  std::string storedAt;                 // when not answered: when the shown record was stored
  std::optional<std::string> document;  // the document text as the device hands it out
};

// The alarms of a device that are active now.
struct ActiveAlarmsEvent {
  uint32_t dataId = 0;
  std::vector<AlarmEvent> active;
};

struct SummaryEvent {
  uint32_t dataId = 0;
  unsigned long cycles = 0;
  unsigned long errors = 0;
  unsigned long failedPolls = 0;  // polls that completed no cycle
};

// A device's address or its line's speed was changed (readdress, rebaud), and where it answers
// now.
struct CommissionEvent {
  uint32_t dataId = 0;
  bool speed = false;  // the line's speed, else the device's address
  int from = 0;
  int to = 0;
  bool verified = false;  // it answered at the new setting with registers that agree
  int address = 0;        // where the host talks to it now
  int baud = 0;
  std::string outcome;
};

// A device's connection to the MQTT broker came up, or went (or could not be made).
struct MqttEvent {
  uint32_t dataId = 0;
  bool connected = false;
  std::string broker;        // host:port
  std::string reason;        // when not connected
  bool unreachable = false;  // the first connect could not even begin: nothing gets out
};

// What the MQTT bridge did for a device in this run.
struct MqttSummaryEvent {
  uint32_t dataId = 0;
  unsigned long published = 0;
  unsigned long dropped = 0;     // unsent when the queue was full
  unsigned long superseded = 0;  // an unsent state replaced by a newer one
};

struct NoticeEvent {
  std::string text;
  LogLevel level = LogLevel::kNotice;  // kWarning: something a person must look at
};

using EventBody = std::variant<CycleEvent, RecordSentEvent, RestoredEvent, AlarmEvent,
                               AlarmRuleEvent, ThresholdEvent, ReportEvent, ErrorEvent, WriteEvent,
                               LinkEvent, StatusEvent, ActiveAlarmsEvent, SummaryEvent,
                               CommissionEvent, MqttEvent, MqttSummaryEvent, NoticeEvent>;

// The device an event is about; 0 for a notice, which is about none.
inline uint32_t DataIdOf(const EventBody& body) {
  return std::visit(
      [](const auto& e) -> uint32_t {
        if constexpr (std::is_same_v<std::decay_t<decltype(e)>, NoticeEvent>) {
          return 0;
        } else {
          return e.dataId;
        }
      },
      body);
}

struct HostEvent {
  std::time_t time = 0;
  EventBody body;
};

// Takes events. Sinks are called on the thread that emits, one event at a time per line.
class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void Take(const HostEvent& event) = 0;
  // The end of a unit of work (a poll cycle, a command): what was taken is made durable.
  virtual void Flush() {}
};
