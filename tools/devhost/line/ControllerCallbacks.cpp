// SPDX-License-Identifier: Apache-2.0
// The controller's side of the plug-in interface: what a device asks of its host while it runs
// (queue a request, hand over a record, check a rule, keep history), each turned into an event
// of the line or a request on its queue.
#include "events/Clock.h"
#include "events/FloatText.h"
#include "events/RecordView.h"
#include "events/TimeText.h"
#include "line/LineController.h"

int LineController::SubmitRequest(SPModbus& device, const ModbusRequest& request) {
  HostedDevice* hosted = Find(device);
  if (hosted == nullptr || queue_.size() >= kMaxQueued) return -1;
  queue_.push_back({hosted, request});
  return 0;
}

int LineController::SendSP(SMDVDevice& device, int code, const unsigned char* data,
                           unsigned int length, bool flag) {
  (void)flag;
  HostedDevice* hosted = Find(device);
  if (hosted == nullptr || data == nullptr) return -1;
  // Loading a stored record back re-sends it with a new time stamp; nothing new to keep.
  if (hosted->replaying) return 0;
  events_.Emit(RecordSentEvent{hosted->dataId, code, {data, data + length}});
  return 0;
}

int LineController::CheckThreshold(SMDVDevice& device, const std::string& alarmId,
                                   const std::string& name, float value, int kind) {
  HostedDevice* hosted = Find(device);
  if (hosted == nullptr) return 0;
  events_.Emit(ThresholdEvent{hosted->dataId, alarmId, name, value, kind});
  return 0;
}

int LineController::CheckThresholdBool(SMDVDevice& device, int level, const std::string& signalName,
                                       const std::string& alarmId, const std::string& valueText,
                                       const std::string& alarmText, bool active,
                                       unsigned short kind) {
  (void)kind;
  HostedDevice* hosted = Find(device);
  if (hosted == nullptr) return 0;
  // Every rule is reported every cycle and almost always unchanged: that case builds no event.
  const auto known = hosted->alarms.find(alarmId);
  if (known != hosted->alarms.end() && known->second.active == active &&
      hosted->announced.count(alarmId) != 0) {
    if (active) hosted->unconfirmed.erase(alarmId);
    return 0;
  }
  const std::time_t now = WallNow();
  // The device's value text as the host shows and stores it (27.9, not 27.8999996).
  const AlarmEvent event{hosted->dataId, StoreTimeText(now),       alarmId,  signalName, level,
                         active,         HostValueText(valueText), alarmText};
  NoteAlarm(*hosted, event, now);
  if (hosted->announced.insert(alarmId).second) {
    events_.Emit(AlarmRuleEvent{hosted->dataId, hosted->alarms[alarmId], RuleName(*hosted, event)},
                 now);
  }
  return 0;
}

// The device reports every rule every cycle; only a change of the active flag is an event.
void LineController::NoteAlarm(HostedDevice& device, const AlarmEvent& event, std::time_t now) {
  const std::string& alarmId = event.alarmId;
  const bool active = event.active;
  const auto known = device.alarms.find(alarmId);
  const bool wasActive = known != device.alarms.end() && known->second.active;
  if (active) device.unconfirmed.erase(alarmId);
  if (wasActive && !active && HeldAfterRestart(device, alarmId, event.valueText)) return;
  if (known != device.alarms.end() && wasActive == active) return;
  device.alarms[alarmId] = event;
  if (known == device.alarms.end() && !active) return;  // first seen inactive: nothing changed
  events_.Emit(event, now);
}

// "Temperature high (T01001)": the side from the rule's limit, the signal from the field of the
// device's type that the rule's settings member names; otherwise the device's signal name.
std::string LineController::RuleName(const HostedDevice& device, const AlarmEvent& event) {
  const auto rule = device.recovery.find(event.alarmId);
  if (rule == device.recovery.end())
    return "Alarm " + event.alarmId + " (" + event.signalName + ")";
  std::string signal = event.signalName;
  if (device.type != nullptr) {
    for (const RecordField& field : device.type->fields) {
      if (field.key == rule->second.member) signal = field.label;
    }
  }
  const std::string side =
      std::string(rule->second.upper ? "high" : "low") + (rule->second.second ? " 2" : "");
  return signal + " " + side + " (" + event.alarmId + ")";
}

// The device forgets its alarms at a restart, so its first "inactive" then only says the value
// is short of the limit: an alarm the store holds active stays so until the value passes its
// recover value. Without a known rule the device's word is taken.
bool LineController::HeldAfterRestart(HostedDevice& device, const std::string& alarmId,
                                      const std::string& valueText) {
  const auto held = device.unconfirmed.find(alarmId);
  if (held == device.unconfirmed.end()) return false;
  const auto rule = device.recovery.find(alarmId);
  if (rule == device.recovery.end() || PastRecover(rule->second, valueText)) {
    device.unconfirmed.erase(held);
    return false;
  }
  if (!held->second) {
    events_.Emit(NoticeEvent{"alarm " + alarmId + " of device " + std::to_string(device.dataId) +
                             " kept active after the restart: value " + valueText +
                             " has not passed its recover value"});
    held->second = true;
  }
  return true;
}

int LineController::CheckAOReport(SMDVDevice& device, const std::string& signalId, float value) {
  HostedDevice* hosted = Find(device);
  if (hosted == nullptr) return 0;
  events_.Emit(ReportEvent{hosted->dataId, signalId, value});
  return 1;
}

bool LineController::DoBatchCheckThreshold(SMDVDevice& device,
                                           const std::vector<rule_value>& ruleValues) {
  // The reference host adds no batch rules of its own, so no batch ever raises an alarm.
  (void)device;
  (void)ruleValues;
  return false;
}

int LineController::SaveDeviceHistory(SMDVDevice& device, const unsigned char* data,
                                      unsigned int length) {
  HostedDevice* hosted = Find(device);
  if (hosted == nullptr || data == nullptr) return -1;
  // The device's type, from the plug-in that made it; a type the host does not know by name
  // is taken from the record's length.
  const DeviceType* type = hosted->type != nullptr ? hosted->type : DeviceTypeOfLength(length);
  const auto values = DecodeRecord(type, data, length);
  if (hosted->replaying) {
    events_.Emit(RestoredEvent{hosted->dataId, values});
    return 0;
  }
  ++hosted->cycles;
  const std::time_t now = WallNow();
  hosted->recordStoredAt = StoreTimeText(now);
  events_.Emit(CycleEvent{hosted->dataId, {data, data + length}, values, ActiveAlarms(*hosted)},
               now);
  NoteCycle(hosted->dataId);
  return 0;
}

int LineController::OpenPort(SMDSPDevice& device) {
  // The host opened the line before the first device ran and keeps it open.
  (void)device;
  return line_ ? 0 : -1;
}

int LineController::ClosePort(SMDSPDevice& device) {
  (void)device;
  return 0;
}

int LineController::SendData(SMDSPDevice& device, const unsigned char* data, unsigned int length,
                             EnumParity parity) {
  (void)device;
  (void)parity;  // the line keeps the parity it was opened with
  return line_ ? line_->SendRaw(data, length) : -1;
}

int LineController::DeviceIoControl(SMDVDevice& device, int code, const void* in, int inlen,
                                    void* out, int outlen, int& outlenRet) {
  (void)device;
  (void)in;
  (void)inlen;
  (void)out;
  (void)outlen;
  (void)outlenRet;
  // The outcome query is answered by the device itself before it reaches the host.
  return code == kWriteOutcomeQuery ? 0 : -1;
}
