// SPDX-License-Identifier: Apache-2.0
#include "do3008ra/DO3008RA.h"

template class UniDataDevice<DO3008RA_Data_t, SPModbus, DO3008RA::kDataCode>;

DO3008RA::DO3008RA() {
  deviceType_ = do3008ra::kDeviceType;
  baudRate_ = do3008ra::kFactoryBaud;
  keepPortOpen_ = 1;
}

DO3008RA::~DO3008RA() = default;

int DO3008RA::InitSetting(const Json::Value& settings) {
  data_.dataId = DataId();
  return UniDataDevice::InitSetting(settings);
}
