// SPDX-License-Identifier: Apache-2.0
#include "host/RecordingController.h"

#include <cstdio>

#include "host/SPModbus.h"

std::string FloatArg(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

namespace {

std::string BlobArg(unsigned int length) { return "<" + std::to_string(length) + " bytes>"; }

std::string RequestArg(const ModbusRequest& request) {
  std::string text = "fc" + std::to_string(request.function) + " " +
                     std::to_string(request.address) + "/" + std::to_string(request.count);
  const bool writes = request.function == ModbusRequest::kWriteSingle ||
                      request.function == ModbusRequest::kWriteMultiple;
  for (unsigned i = 0; writes && i < request.count && i < ModbusRequest::kMaxWriteCount; ++i) {
    text += (i == 0 ? " = " : " ") + std::to_string(request.values[i]);
  }
  return text;
}

}  // namespace

std::string RecordedCall::Text() const {
  std::string text = operation + "(";
  for (std::size_t i = 0; i < args.size(); ++i) text += (i ? ", " : "") + args[i];
  return text + ")";
}

RecordingController::RecordingController() : holding_(0x10000, 0), input_(0x10000, 0) {}

std::vector<std::string> RecordingController::CallTexts() const {
  std::vector<std::string> texts;
  texts.reserve(calls_.size());
  for (const auto& call : calls_) texts.push_back(call.Text());
  return texts;
}

std::vector<RecordedCall> RecordingController::CallsOf(const std::string& operation) const {
  std::vector<RecordedCall> matching;
  for (const auto& call : calls_) {
    if (call.operation == operation) matching.push_back(call);
  }
  return matching;
}

void RecordingController::Record(const SMDVDevice& device, std::string operation,
                                 std::vector<std::string> args, const unsigned char* bytes,
                                 std::size_t length) {
  RecordedCall call;
  call.device = &device;
  call.operation = std::move(operation);
  call.args = std::move(args);
  if (bytes != nullptr) call.bytes.assign(bytes, bytes + length);
  calls_.push_back(std::move(call));
}

const ModbusRequest* RecordingController::NextRequest() const {
  return pendingCount_ == 0 ? nullptr : &queue_[pendingHead_].request;
}

bool RecordingController::PopPending(Pending& out) {
  if (pendingCount_ == 0) return false;
  out = queue_[pendingHead_];
  pendingHead_ = (pendingHead_ + 1) % kQueueSize;
  --pendingCount_;
  return true;
}

bool RecordingController::RunNext() {
  Pending pending;
  if (!PopPending(pending)) return false;
  Perform(pending);
  return true;
}

std::size_t RecordingController::RunAll(std::size_t limit) {
  std::size_t ran = 0;
  while (ran < limit && RunNext()) ++ran;
  return ran;
}

bool RecordingController::AnswerNext(const std::vector<uint16_t>& registers) {
  Pending pending;
  if (!PopPending(pending)) return false;
  const auto table = pending.request.function == ModbusRequest::kReadInput
                         ? SPModbus::INPUT_REGISTER
                         : SPModbus::HOLDING_REGISTER;
  pending.device->DeliverAnswer(table, registers.data(),
                                static_cast<unsigned int>(registers.size()));
  return true;
}

bool RecordingController::FailNext() {
  Pending pending;
  if (!PopPending(pending)) return false;
  pending.device->DeliverFailure();
  return true;
}

int RecordingController::Perform(const Pending& pending) {
  const ModbusRequest& request = pending.request;
  SPModbus& device = *pending.device;
  if (request.function == refusedFunction_) return device.DeliverFailure();
  uint16_t answer[ModbusRequest::kMaxReadCount];
  switch (request.function) {
    case ModbusRequest::kReadHolding:
    case ModbusRequest::kReadInput: {
      const auto& table = request.function == ModbusRequest::kReadHolding ? holding_ : input_;
      for (unsigned i = 0; i < request.count; ++i)
        answer[i] = table[(request.address + i) & 0xFFFF];
      const auto kind = request.function == ModbusRequest::kReadHolding ? SPModbus::HOLDING_REGISTER
                                                                        : SPModbus::INPUT_REGISTER;
      return device.DeliverAnswer(kind, answer, request.count);
    }
    case ModbusRequest::kWriteSingle:
      holding_[request.address] = request.values[0];
      answer[0] = wrongEcho_ ? wrongEchoValue_ : request.values[0];
      return device.DeliverAnswer(SPModbus::HOLDING_REGISTER, answer, 1);
    case ModbusRequest::kWriteMultiple:
      for (unsigned i = 0; i < request.count; ++i) {
        holding_[(request.address + i) & 0xFFFF] = request.values[i];
      }
      answer[0] = ModbusRequest::kWriteMultiple;
      answer[1] = wrongEcho_ ? wrongEchoValue_ : request.count;
      return device.DeliverAnswer(SPModbus::HOLDING_REGISTER, answer, 2);
    default:
      return device.DeliverFailure();
  }
}

int RecordingController::SubmitRequest(SPModbus& device, const ModbusRequest& request) {
  if (pendingCount_ == kQueueSize) return -1;
  queue_[(pendingHead_ + pendingCount_) % kQueueSize] = Pending{&device, request};
  ++pendingCount_;
  if (recording_) {
    Record(device, "Request", {RequestArg(request)});
    calls_.back().request = request;
  }
  return 0;
}

int RecordingController::SendSP(SMDVDevice& device, int code, const unsigned char* data,
                                unsigned int length, bool flag) {
  if (recording_) {
    Record(device, "SendSP", {std::to_string(code), BlobArg(length), std::to_string(flag)}, data,
           length);
  }
  return 0;
}

int RecordingController::CheckThreshold(SMDVDevice& device, const std::string& alarmId,
                                        const std::string& name, float value, int kind) {
  if (recording_) {
    Record(device, "CheckThreshold", {alarmId, name, FloatArg(value), std::to_string(kind)});
  }
  return 0;
}

int RecordingController::CheckThresholdBool(
    SMDVDevice& device, int level, const std::string& signalName, const std::string& alarmId,
    const std::string& valueText, const std::string& alarmText, bool active, unsigned short kind) {
  if (recording_) {
    Record(device, "CheckThresholdBool",
           {std::to_string(level), signalName, alarmId, valueText, alarmText,
            std::to_string(active), std::to_string(kind)});
  }
  return 0;
}

int RecordingController::CheckAOReport(SMDVDevice& device, const std::string& signalId,
                                       float value) {
  if (recording_) Record(device, "CheckAOReport", {signalId, FloatArg(value)});
  return 0;
}

bool RecordingController::DoBatchCheckThreshold(SMDVDevice& device,
                                                const std::vector<rule_value>& ruleValues) {
  if (recording_) Record(device, "DoBatchCheckThreshold", {std::to_string(ruleValues.size())});
  return batchResult_;
}

int RecordingController::SaveDeviceHistory(SMDVDevice& device, const unsigned char* data,
                                           unsigned int length) {
  if (recording_) Record(device, "SaveDeviceHistory", {BlobArg(length)}, data, length);
  return 0;
}

int RecordingController::OpenPort(SMDSPDevice& device) {
  if (recording_) Record(device, "OpenPort", {});
  return 0;
}

int RecordingController::ClosePort(SMDSPDevice& device) {
  if (recording_) Record(device, "ClosePort", {});
  return 0;
}

int RecordingController::SendData(SMDSPDevice& device, const unsigned char* data,
                                  unsigned int length, EnumParity parity) {
  if (recording_) {
    Record(device, "SendData", {BlobArg(length), std::to_string(parity)}, data, length);
  }
  return 0;
}

int RecordingController::DeviceIoControl(SMDVDevice& device, int code, const void* in, int inlen,
                                         void* out, int outlen, int& outlenRet) {
  (void)in;
  (void)out;
  if (recording_) {
    Record(device, "DeviceIoControl",
           {std::to_string(code), std::to_string(inlen), std::to_string(outlen),
            std::to_string(outlenRet)});
  }
  return deviceIoControlResult_;
}
