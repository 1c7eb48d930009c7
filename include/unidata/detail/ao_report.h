// SPDX-License-Identifier: Apache-2.0
#pragma once
// Report-on-change check of one analog value.

#include <cstdint>
#include <ctime>
#include <string>

#include "host/SMDVDevice.h"
#include "unidata/report_tests.h"

template <class Record, class Protocol, int Code>
int UniDataDevice<Record, Protocol, Code>::CheckAOReport(const std::string& alarmId,
                                                         const std::string& signalId, float value) {
  auto& settings = this->baoSettings_;
  if (settings.empty()) return 0;
  auto entry = settings.find(signalId);
  if (entry == settings.end()) {
    // Settings kept under the alarm identifier are copied once; from then on the signal's own
    // copy holds its report memory.
    const auto shared = settings.find(alarmId);
    if (shared == settings.end()) return 0;
    entry = settings.emplace(signalId, shared->second).first;
  }
  SMDVDevice::BAOSetting& setting = entry->second;
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  if (!unidata::ReportDue(setting, value, now)) return 0;
  setting.lastReportValue = value;
  setting.lastReportTime = static_cast<uint32_t>(now);
  this->SMDVDevice::CheckAOReport(signalId, value);
  return 1;
}
