// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <string>
#include <vector>

#include "host/EnumParity.h"
#include "host/ModbusRequest.h"
#include "host/host_api.h"
#include "host/rule_value.h"

class SMDVDevice;
class SMDSPDevice;
class SPModbus;

// The one seam between devices and the outside world. Every outward effect of a host operation
// (bus requests, records, alarms, history, port handling, host-level commands) is a call on the
// controller that the host handed to the device's Init. Tests record these calls; the reference
// host executes them on serial lines and in its store.
class HOST_API SMDController {
 public:
  virtual ~SMDController();

  // Queues a request; the controller's loop performs it later and answers through
  // SPModbus::DeliverAnswer or SPModbus::DeliverFailure. Never answers inside this call.
  virtual int SubmitRequest(SPModbus& device, const ModbusRequest& request) = 0;

  virtual int SendSP(SMDVDevice& device, int code, const unsigned char* data, unsigned int length,
                     bool flag) = 0;
  virtual int CheckThreshold(SMDVDevice& device, const std::string& alarmId,
                             const std::string& name, float value, int kind) = 0;
  virtual int CheckThresholdBool(SMDVDevice& device, int level, const std::string& signalName,
                                 const std::string& alarmId, const std::string& valueText,
                                 const std::string& alarmText, bool active,
                                 unsigned short kind) = 0;
  virtual int CheckAOReport(SMDVDevice& device, const std::string& signalId, float value) = 0;
  virtual bool DoBatchCheckThreshold(SMDVDevice& device,
                                     const std::vector<rule_value>& ruleValues) = 0;
  virtual int SaveDeviceHistory(SMDVDevice& device, const unsigned char* data,
                                unsigned int length) = 0;

  virtual int OpenPort(SMDSPDevice& device) = 0;
  virtual int ClosePort(SMDSPDevice& device) = 0;
  virtual int SendData(SMDSPDevice& device, const unsigned char* data, unsigned int length,
                       EnumParity parity) = 0;

  // The host's own handling of a device command (codes a device passes on).
  virtual int DeviceIoControl(SMDVDevice& device, int code, const void* in, int inlen, void* out,
                              int outlen, int& outlenRet) = 0;
};
