// SPDX-License-Identifier: Apache-2.0
#include "SimSensor.h"

#include <cstdio>

#include "RtuFrame.h"

namespace {

constexpr uint8_t kReadHolding = 3;
constexpr uint8_t kReadInput = 4;
constexpr uint8_t kWriteSingle = 6;
constexpr uint8_t kWriteMultiple = 16;
constexpr uint8_t kExceptionFlag = 0x80;

uint16_t Word(const uint8_t* bytes) { return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]); }

bool IsWrite(uint8_t function) { return function == kWriteSingle || function == kWriteMultiple; }

std::vector<uint8_t> ExceptionFrame(uint8_t slave, uint8_t function, uint8_t code) {
  return rtu::WithCrc({slave, static_cast<uint8_t>(function | kExceptionFlag), code}, false);
}

}  // namespace

SimSensor::SimSensor(const SensorRegisters::Settings& settings, const FaultSettings& faults,
                     bool verbose)
    : registers_(settings),
      faults_(faults),
      verbose_(verbose),
      slave_(registers_.Holding(do3008ra::kAddressRegister)),
      baudCode_(registers_.Holding(do3008ra::kBaudCodeRegister)) {}

SimSensor::Reply SimSensor::Respond(const std::vector<uint8_t>& frame, double secondsRunning) {
  registers_.Refresh(secondsRunning);
  Request request;
  if (!Parse(frame, request)) return {};
  const Fault fault = faults_.Decide(request.function);
  if (verbose_) {
    std::printf("request fc%u %u/%u: %s\n", request.function, request.address, request.count,
                FaultName(fault));
  }
  if (fault == Fault::kDrop) return {};
  Reply reply = Answer(request, fault);
  if (fault == Fault::kLate) reply.delayMs = faults_.Settings().lateMs;
  // Broadcasts are carried out but never answered.
  if (request.slave == 0) reply.frame.clear();
  return reply;
}

bool SimSensor::Parse(const std::vector<uint8_t>& frame, Request& request) {
  const auto length = static_cast<int>(frame.size());
  if (length < 4) return false;
  request.slave = frame[0];
  request.function = frame[1];
  if (length >= 6) {
    request.address = Word(&frame[2]);
    request.count = Word(&frame[4]);
  }
  if (request.function == kWriteSingle) {
    request.values = {request.count};
    request.count = 1;
  } else if (request.function == kWriteMultiple) {
    const int byteCount = length >= 7 ? frame[6] : 0;
    if (length < 7 + byteCount + 2 || byteCount != request.count * 2) return false;
    for (int i = 0; i < request.count; ++i) request.values.push_back(Word(&frame[7 + 2 * i]));
  }
  return true;
}

uint8_t SimSensor::Check(const Request& request) const {
  switch (request.function) {
    case kReadHolding:
    case kReadInput:
      return registers_.CheckRead(request.address, request.count);
    case kWriteSingle:
    case kWriteMultiple:
      return registers_.CheckWrite(request.address, request.values);
    default:
      return MODBUS_EXCEPTION_ILLEGAL_FUNCTION;
  }
}

SimSensor::Reply SimSensor::Answer(const Request& request, Fault fault) {
  Reply reply;
  if (fault == Fault::kException) {
    reply.frame =
        ExceptionFrame(request.slave, request.function, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
    return reply;
  }
  if (const uint8_t exception = Check(request)) {
    if (verbose_) std::printf("exception %u\n", exception);
    reply.frame = ExceptionFrame(request.slave, request.function, exception);
    return reply;
  }
  if (IsWrite(request.function)) {
    reply.change = registers_.ApplyWrite(request.address, request.values);
    for (std::size_t i = 0; i < request.values.size(); ++i) {
      std::printf("write %u = %u\n", static_cast<unsigned>(request.address + i), request.values[i]);
    }
  }
  reply.frame = rtu::WithCrc(Body(request), fault == Fault::kCorrupt);
  return reply;
}

std::vector<uint8_t> SimSensor::Body(const Request& request) const {
  if (!IsWrite(request.function)) {
    return rtu::ReadAnswer(
        request.slave, request.function,
        registers_.Read(request.function == kReadInput, request.address, request.count));
  }
  const uint16_t echoed = request.function == kWriteSingle ? request.values[0] : request.count;
  const uint16_t shown = faults_.Settings().wrongEcho ? static_cast<uint16_t>(echoed + 1) : echoed;
  return rtu::WriteEcho(request.slave, request.function, request.address, shown);
}

void SimSensor::Take(const SensorRegisters::LineChange& change) {
  if (change.slave) {
    slave_ = *change.slave;
    std::printf("address is now %u\n", slave_);
  }
  if (change.baudCode && *change.baudCode != baudCode_) {
    baudCode_ = *change.baudCode;
    std::printf("baud rate is now %d\n", BaudOfCode(baudCode_));
  }
}
