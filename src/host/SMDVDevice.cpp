// SPDX-License-Identifier: Apache-2.0
#include "host/SMDVDevice.h"

SMDVDevice::SMDVDevice() = default;
SMDVDevice::~SMDVDevice() = default;

int SMDVDevice::DeviceIoControl(int code, const void* in, int inlen, void* out, int outlen,
                                int& outlenRet) {
  if (auto controller = Controller()) {
    return controller->DeviceIoControl(*this, code, in, inlen, out, outlen, outlenRet);
  }
  return -1;
}

void SMDVDevice::Reset() {}

int SMDVDevice::InitV(SMDVDevice* parent, unsigned int dataId, const Json::Value& settings) {
  parent_ = parent;
  dataId_ = dataId;
  if (parent != nullptr) controller_ = parent->controller_;
  (void)settings;
  return 0;
}

int SMDVDevice::Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
                     const Json::Value& settings) {
  controller_ = std::move(controller);
  dataId_ = dataId;
  (void)settings;
  return 0;
}

int SMDVDevice::InitSetting(const Json::Value& settings) {
  (void)settings;
  return 0;
}

bool SMDVDevice::IsSupportDevice(const std::string& deviceType) const {
  return deviceType == DeviceType();
}

int SMDVDevice::SendSP(int code, const unsigned char* data, unsigned int length, bool flag) {
  if (auto controller = Controller()) return controller->SendSP(*this, code, data, length, flag);
  return -1;
}

int SMDVDevice::SendDelayData(int delayMs) {
  (void)delayMs;
  return -1;
}

int SMDVDevice::SendDoData(int channel, char value) {
  (void)channel;
  (void)value;
  return -1;
}

int SMDVDevice::ReadDi(int channel) {
  (void)channel;
  return -1;
}

float SMDVDevice::ReadAi(int channel) {
  (void)channel;
  return 0.0f;
}

float SMDVDevice::Get_SP_Value(unsigned int signalId, const std::string& name) {
  return Get_Value(signalId, name);
}

int SMDVDevice::CheckThreshold(const std::string& alarmId, const std::string& name,
                               const float& value, int kind) {
  if (auto controller = Controller()) {
    return controller->CheckThreshold(*this, alarmId, name, value, kind);
  }
  return 0;
}

int SMDVDevice::CheckThresholdBool(int level, const std::string& signalName,
                                   const std::string& alarmId, const std::string& valueText,
                                   const std::string& alarmText, bool active, unsigned short kind) {
  if (auto controller = Controller()) {
    return controller->CheckThresholdBool(*this, level, signalName, alarmId, valueText, alarmText,
                                          active, kind);
  }
  return 0;
}

int SMDVDevice::CheckAOReport(const std::string& signalId, float value) {
  if (auto controller = Controller()) return controller->CheckAOReport(*this, signalId, value);
  return 0;
}

bool SMDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& ruleValues) {
  if (auto controller = Controller()) return controller->DoBatchCheckThreshold(*this, ruleValues);
  return false;
}

int SMDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length) {
  if (auto controller = Controller()) return controller->SaveDeviceHistory(*this, data, length);
  return -1;
}
