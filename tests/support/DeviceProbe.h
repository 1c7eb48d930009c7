// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "do3008ra/DO3008RA.h"
#include "host/RecordingController.h"

// A DO3008RA with its protected state opened up for tests.
class DeviceProbe : public DO3008RA {
 public:
  using DO3008RA::aiSignalMap_;
  using DO3008RA::alarmSignalIdMap_;
  using DO3008RA::b_mode_;
  using DO3008RA::baoSettings_;
  using DO3008RA::baudRate_;
  using DO3008RA::BuildThresholdRule;
  using DO3008RA::CheckAOReport;
  using DO3008RA::CheckSignalThresholdMap;
  using DO3008RA::cycleAlarmFlag_;
  using DO3008RA::cycleStatus_;
  using DO3008RA::data_;
  using DO3008RA::dataReady_;
  using DO3008RA::dataTime_;
  using DO3008RA::FindRuleFile;
  using DO3008RA::jsonData_;
  using DO3008RA::jsonMutex_;
  using DO3008RA::jsonTime_;
  using DO3008RA::keepPortOpen_;
  using DO3008RA::levelMap_;
  using DO3008RA::LoadIdentityTables;
  using DO3008RA::LoadRuleFile;
  using DO3008RA::LoadThresholdRules;
  using DO3008RA::low2ThresholdMap_;
  using DO3008RA::lowThresholdMap_;
  using DO3008RA::nmAlarmIdMap_;
  using DO3008RA::processing_;
  using DO3008RA::regBuf_;
  using DO3008RA::ruleValues_;
  using DO3008RA::signalNameMap_;
  using DO3008RA::step_;
  using DO3008RA::up2ThresholdMap_;
  using DO3008RA::upThresholdMap_;
  using DO3008RA::valueMap_;
  using DO3008RA::writeExpect_;
  using DO3008RA::writeResult_;

  const unsigned char* RecordBytes() const {
    return reinterpret_cast<const unsigned char*>(&data_);
  }
  std::vector<unsigned char> Record() const {
    return {RecordBytes(), RecordBytes() + sizeof data_};
  }
};

// A probe attached to a recording controller, as a host would set it up.
struct AttachedDevice {
  explicit AttachedDevice(unsigned int dataId = 12) {
    device.Init(controller, dataId, Json::Value(Json::objectValue));
  }
  std::shared_ptr<RecordingController> controller = std::make_shared<RecordingController>();
  DeviceProbe device;
};
