#pragma once
// Report-on-change check of one analog value.

template <class Record, class Protocol, int Code>
int UniDataDevice<Record, Protocol, Code>::CheckAOReport(const std::string& alarmId,
                                                         const std::string& signalId, float value) {
  (void)alarmId;
  (void)signalId;
  (void)value;
  return 0;
}
