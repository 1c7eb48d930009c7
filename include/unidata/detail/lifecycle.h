// SPDX-License-Identifier: Apache-2.0
#pragma once
// Construction, cycle completion and the cache path of UniDataDevice.

#include <cstring>
#include <iostream>
#include <mutex>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/SMDVDevice.h"
#include "host/TTime.h"
#include "unidata/alarm_id.h"
#include "unidata/json_number.h"

template <class Record, class Protocol, int Code>
UniDataDevice<Record, Protocol, Code>::UniDataDevice() : data_(), b_mode_(1) {
  std::memset(&data_, 0, sizeof data_);
}

template <class Record, class Protocol, int Code>
UniDataDevice<Record, Protocol, Code>::~UniDataDevice() = default;

template <class Record, class Protocol, int Code>
int UniDataDevice<Record, Protocol, Code>::LoadFromCache(const unsigned char* data, int length) {
  if (data == nullptr || length != static_cast<int>(sizeof(Record))) return 0;
  std::memcpy(&data_, data, sizeof(Record));
  this->dataReady_.store(true);
  RoundDone();  // the restored record completes a cycle of its own, stamped now
  return 1;
}

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::RoundDone() {
  if (!this->dataReady_.load()) this->dataReady_.store(true);
  StampRecord();
  const auto* record = reinterpret_cast<const unsigned char*>(&data_);
  this->SMDVDevice::SendSP(Code, record, sizeof(Record), false);
  this->Reset();
  this->cycleAlarmFlag_ = 0;
  this->cycleStatus_ = 1;
  RunCheckThreshold();
  EvaluateRules();
  std::cout << "rvSize is " << this->ruleValues_.size() << std::endl;
  this->cycleAlarmFlag_ |= static_cast<uint8_t>(this->DoBatchCheckThreshold(this->ruleValues_));
  this->SaveDeviceHistory(record, sizeof(Record));
  this->ruleValues_.clear();
}

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::StampRecord() {
  const boost::posix_time::ptime now = boost::posix_time::second_clock::local_time();
  this->dataTime_.store(now);
  const TTime stamp = get_ttime(now);
  static_assert(sizeof data_.time == sizeof stamp, "the record keeps a whole TTime");
  // A controller may ask for the status document from another thread while a cycle ends; the
  // document reads the stamp under the same lock.
  const std::lock_guard<std::mutex> lock(jsonMutex_);
  std::memcpy(&data_.time, &stamp, sizeof stamp);
}

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::EvaluateRules() {
  if (b_mode_ == 1) {
    GenJsonData();
    const std::lock_guard<std::mutex> lock(jsonMutex_);
    EvaluateAiSignals();
  } else if (b_mode_ == 5) {
    GenJsonData();
    const std::lock_guard<std::mutex> lock(jsonMutex_);
    CheckSignalThresholdMap(upThresholdMap_, true);
    CheckSignalThresholdMap(up2ThresholdMap_, true);
    CheckSignalThresholdMap(lowThresholdMap_, false);
    CheckSignalThresholdMap(low2ThresholdMap_, false);
  }
}

template <class Record, class Protocol, int Code>
void UniDataDevice<Record, Protocol, Code>::EvaluateAiSignals() {
  for (const auto& [signalName, signal] : aiSignalMap_) {
    const std::string& signalId = signal.first;
    const std::string alarmId = unidata::AlarmIdOf(signalId);
    // The inserting look-up leaves a null member for a name the document lacks. Text members
    // (baud rate, update time) have no number to check and are passed over like missing ones.
    const Json::Value& member = jsonData_[signalName];
    if (!member.isNumeric()) continue;
    const float value = unidata::JsonFloat(member);
    this->SMDVDevice::CheckThreshold(alarmId, signal.second, value, 1);
    CheckAOReport(alarmId, signalId, value);
  }
}
