// SPDX-License-Identifier: Apache-2.0
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/ModbusRequest.h"
#include "host/SMDController.h"
#include "host/host_api.h"

// One call a device made on its controller, with every argument as text (floats as "%.9g",
// blobs as "<N bytes>") so that a test can compare whole call sequences as strings.
struct RecordedCall {
  const SMDVDevice* device = nullptr;
  std::string operation;
  std::vector<std::string> args;
  std::vector<unsigned char> bytes;  // the blob of SendSP, SaveDeviceHistory and SendData
  ModbusRequest request;             // the request of SubmitRequest

  std::string Text() const;  // "operation(arg, arg, ...)"
};

// Controller for tests and benchmarks: records every call and answers bus requests from an
// in-memory register map (holding and input registers kept apart, as a sensor may keep them).
class HOST_API RecordingController : public SMDController {
 public:
  RecordingController();

  // Recording can be switched off so that benchmarks measure the device, not the log.
  void SetRecording(bool on) { recording_ = on; }
  const std::vector<RecordedCall>& Calls() const { return calls_; }
  std::vector<std::string> CallTexts() const;
  std::vector<RecordedCall> CallsOf(const std::string& operation) const;
  void ClearCalls() { calls_.clear(); }

  // In-memory bus.
  void SetHolding(uint16_t address, uint16_t value) { holding_[address] = value; }
  void SetInput(uint16_t address, uint16_t value) { input_[address] = value; }
  uint16_t Holding(uint16_t address) const { return holding_[address]; }
  uint16_t Input(uint16_t address) const { return input_[address]; }
  // Requests of this function code are answered with a failure (on_error).
  void RefuseFunction(uint8_t function) { refusedFunction_ = function; }
  // Write answers echo this value instead of what was written (a sensor that misbehaves).
  void SetWrongWriteEcho(bool on, uint16_t echo = 0) {
    wrongEcho_ = on;
    wrongEchoValue_ = echo;
  }

  std::size_t PendingRequests() const { return pendingCount_; }
  const ModbusRequest* NextRequest() const;
  // Performs the oldest pending request on the register map and delivers the answer; returns
  // false when nothing is pending.
  bool RunNext();
  // Runs requests until none is pending or the limit is reached; returns how many ran.
  std::size_t RunAll(std::size_t limit = 1000);
  // Delivers the given registers (or a failure) as the answer to the oldest pending request.
  bool AnswerNext(const std::vector<uint16_t>& registers);
  bool FailNext();

  // Results the host-side operations give.
  void SetDeviceIoControlResult(int result) { deviceIoControlResult_ = result; }
  void SetBatchResult(bool result) { batchResult_ = result; }

  int SubmitRequest(SPModbus& device, const ModbusRequest& request) override;
  int SendSP(SMDVDevice& device, int code, const unsigned char* data, unsigned int length,
             bool flag) override;
  int CheckThreshold(SMDVDevice& device, const std::string& alarmId, const std::string& name,
                     float value, int kind) override;
  int CheckThresholdBool(SMDVDevice& device, int level, const std::string& signalName,
                         const std::string& alarmId, const std::string& valueText,
                         const std::string& alarmText, bool active, unsigned short kind) override;
  int CheckAOReport(SMDVDevice& device, const std::string& signalId, float value) override;
  bool DoBatchCheckThreshold(SMDVDevice& device,
                             const std::vector<rule_value>& ruleValues) override;
  int SaveDeviceHistory(SMDVDevice& device, const unsigned char* data,
                        unsigned int length) override;
  int OpenPort(SMDSPDevice& device) override;
  int ClosePort(SMDSPDevice& device) override;
  int SendData(SMDSPDevice& device, const unsigned char* data, unsigned int length,
               EnumParity parity) override;
  int DeviceIoControl(SMDVDevice& device, int code, const void* in, int inlen, void* out,
                      int outlen, int& outlenRet) override;

 private:
  struct Pending {
    SPModbus* device;
    ModbusRequest request;
  };
  static constexpr std::size_t kQueueSize = 64;

  bool PopPending(Pending& out);
  int Perform(const Pending& pending);
  void Record(const SMDVDevice& device, std::string operation, std::vector<std::string> args,
              const unsigned char* bytes = nullptr, std::size_t length = 0);

  bool recording_ = true;
  std::vector<RecordedCall> calls_;
  std::vector<uint16_t> holding_;
  std::vector<uint16_t> input_;
  uint8_t refusedFunction_ = 0;
  bool wrongEcho_ = false;
  uint16_t wrongEchoValue_ = 0;
  Pending queue_[kQueueSize] = {};
  std::size_t pendingHead_ = 0;
  std::size_t pendingCount_ = 0;
  int deviceIoControlResult_ = 0;
  bool batchResult_ = false;
};

// Text of a float as the host logs it: up to 9 significant digits.
HOST_API std::string FloatArg(double value);
