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
  HostedDevice* hosted = devices_.Find(device);
  if (hosted == nullptr || queue_.size() >= kMaxQueued) return -1;
  queue_.push_back({hosted, request});
  return 0;
}

int LineController::SendSP(SMDVDevice& device, int code, const unsigned char* data,
                           unsigned int length, bool flag) {
  (void)flag;
  HostedDevice* hosted = devices_.Find(device);
  if (hosted == nullptr || data == nullptr) return -1;
  // Loading a stored record back re-sends it with a new time stamp; nothing new to keep.
  if (hosted->replaying) return 0;
  events_.Emit(RecordSentEvent{hosted->dataId, code, {data, data + length}});
  return 0;
}

int LineController::CheckThreshold(SMDVDevice& device, const std::string& alarmId,
                                   const std::string& name, float value, int kind) {
  HostedDevice* hosted = devices_.Find(device);
  if (hosted == nullptr) return 0;
  events_.Emit(ThresholdEvent{hosted->dataId, alarmId, name, value, kind});
  return 0;
}

int LineController::CheckThresholdBool(SMDVDevice& device, int level, const std::string& signalName,
                                       const std::string& alarmId, const std::string& valueText,
                                       const std::string& alarmText, bool active,
                                       unsigned short kind) {
  (void)kind;
  HostedDevice* hosted = devices_.Find(device);
  if (hosted == nullptr) return 0;
  // Every rule is reported every cycle and almost always unchanged: that case builds no event.
  if (hosted->alarms.Repeats(alarmId, active)) return 0;
  const std::time_t now = WallNow();
  // The device's value text as the host shows and stores it (27.9, not 27.8999996).
  const AlarmEvent event{hosted->dataId, StoreTimeText(now),       alarmId,  signalName, level,
                         active,         HostValueText(valueText), alarmText};
  const AlarmNote note = hosted->alarms.Note(event);
  if (!note.keptActive.empty()) events_.Emit(NoticeEvent{note.keptActive});
  if (note.changed) events_.Emit(event, now);
  if (const auto rule = hosted->alarms.Announce(event, hosted->type)) {
    events_.Emit(AlarmRuleEvent{hosted->dataId, hosted->alarms.LastChanges().at(alarmId), *rule},
                 now);
  }
  return 0;
}

int LineController::CheckAOReport(SMDVDevice& device, const std::string& signalId, float value) {
  HostedDevice* hosted = devices_.Find(device);
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
  HostedDevice* hosted = devices_.Find(device);
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
  events_.Emit(
      CycleEvent{hosted->dataId, {data, data + length}, values, hosted->alarms.ActiveCount()}, now);
  progress_.Note(hosted->dataId, WallNow());
  return 0;
}

int LineController::OpenPort(SMDSPDevice& device) {
  // The host opened the line before the first device ran and keeps it open.
  (void)device;
  return port_.Attached() ? 0 : -1;
}

int LineController::ClosePort(SMDSPDevice& device) {
  (void)device;
  return 0;
}

int LineController::SendData(SMDSPDevice& device, const unsigned char* data, unsigned int length,
                             EnumParity parity) {
  (void)device;
  (void)parity;  // the line keeps the parity it was opened with
  return port_.SendRaw(data, length);
}

int LineController::DeviceIoControl(SMDVDevice& device, int code, const void* in, int inlen,
                                    void* out, int outlen, int& outlenRet) {
  (void)device;
  (void)in;
  (void)inlen;
  (void)out;
  (void)outlen;
  (void)outlenRet;
  // A device answers its type's write-outcome query itself before passing it on to the host.
  for (const DeviceType& type : DeviceTypes()) {
    if (type.profile && type.profile->writeOutcome.query == code) return 0;
  }
  return -1;
}
