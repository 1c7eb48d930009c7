// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <json/value.h>

#include "host/SMDController.h"
#include "host/VDeviceInterface.h"
#include "host/host_api.h"
#include "host/rule_value.h"

// A device as the controller sees it: configuration, records, alarms and history. Every outward
// effect goes through the controller handed to Init; without one, nothing leaves the device.
class HOST_API SMDVDevice : public VDeviceInterface {
 public:
  // Report-on-change settings of one analog signal and the memory of its last report.
  struct BAOSetting {
    bool absEnable = false;
    float absThreshold = 0.0f;
    bool percentEnable = false;
    float percentThreshold = 0.0f;
    bool periodEnable = false;
    float periodMinutes = 0.0f;
    uint32_t lastReportTime = 0;
    float lastReportValue = 0.0f;
  };

  SMDVDevice();
  ~SMDVDevice() override;

  // Passes the command to the controller's handling; -1 without a controller.
  int DeviceIoControl(int code, const void* in, int inlen, void* out, int outlen,
                      int& outlenRet) override;
  virtual void Reset();
  virtual int InitV(SMDVDevice* parent, unsigned int dataId, const Json::Value& settings);
  virtual int Init(std::weak_ptr<SMDController> controller, unsigned int dataId,
                   const Json::Value& settings);
  virtual int InitSetting(const Json::Value& settings);
  virtual bool IsSupportDevice(const std::string& deviceType) const;
  virtual std::shared_ptr<SMDVDevice> GetChildVDevice(unsigned int dataId) {
    (void)dataId;
    return {};
  }
  virtual std::vector<std::shared_ptr<SMDVDevice>> GetAllChildVDevices() { return {}; }
  virtual int SendSP(int code, const unsigned char* data, unsigned int length, bool flag);
  virtual int SendDelayData(int delayMs);
  virtual int SendDoData(int channel, char value);
  virtual int ReadDi(int channel);
  virtual float ReadAi(int channel);
  virtual float Get_SP_Value(unsigned int signalId, const std::string& name);

  // Alarm, report and history services of the host.
  int CheckThreshold(const std::string& alarmId, const std::string& name, const float& value,
                     int kind);
  int CheckThresholdBool(int level, const std::string& signalName, const std::string& alarmId,
                         const std::string& valueText, const std::string& alarmText, bool active,
                         unsigned short kind);
  int CheckAOReport(const std::string& signalId, float value);
  bool DoBatchCheckThreshold(const std::vector<rule_value>& ruleValues);
  int SaveDeviceHistory(const unsigned char* data, unsigned int length);

  // Host-side access for the controller that runs this device.
  std::map<std::string, BAOSetting>& BaoSettings() { return baoSettings_; }
  std::vector<rule_value>& RuleValues() { return ruleValues_; }

 protected:
  std::shared_ptr<SMDController> Controller() const { return controller_.lock(); }

  std::weak_ptr<SMDController> controller_;
  SMDVDevice* parent_ = nullptr;
  uint16_t cycleStatus_ = 0;
  uint8_t cycleAlarmFlag_ = 0;
  std::vector<rule_value> ruleValues_;
  std::map<std::string, BAOSetting> baoSettings_;
  std::map<std::string, int> levelMap_;
  std::map<std::string, float> valueMap_;
};
