// SPDX-License-Identifier: Apache-2.0
#include <cstddef>
#include <cstring>

#include "do3008ra/DO3008RA.h"
#include "host/ModbusRequest.h"

namespace {

// One read of the poll cycle and the record bytes its answer lands in. Every register block is
// read as holding registers, then as input registers, and both copies are kept.
struct PollRead {
  uint8_t function;
  int address;
  unsigned int count;
  std::size_t recordOffset;
};

constexpr PollRead Read(uint8_t function, do3008ra::RegisterBlock block, std::size_t offset) {
  return {function, block.first, block.count, offset};
}

using do3008ra::kBusBlock;
using do3008ra::kCalibrationBlock;
using do3008ra::kMeasuredBlock;
constexpr PollRead kPollReads[] = {
    Read(ModbusRequest::kReadHolding, kMeasuredBlock, offsetof(DO3008RA_Data_t, holdingMeasure)),
    Read(ModbusRequest::kReadInput, kMeasuredBlock, offsetof(DO3008RA_Data_t, inputMeasure)),
    Read(ModbusRequest::kReadHolding, kCalibrationBlock, offsetof(DO3008RA_Data_t, holdingCalib)),
    Read(ModbusRequest::kReadInput, kCalibrationBlock, offsetof(DO3008RA_Data_t, inputCalib)),
    Read(ModbusRequest::kReadHolding, kBusBlock, offsetof(DO3008RA_Data_t, holdingBus)),
    Read(ModbusRequest::kReadInput, kBusBlock, offsetof(DO3008RA_Data_t, inputBus)),
};
static_assert(sizeof kPollReads / sizeof kPollReads[0] ==
                  DO3008RA::kLastPollStep - DO3008RA::kFirstPollStep + 1,
              "one read per poll step");

const PollRead& ReadOfStep(int step) { return kPollReads[step - DO3008RA::kFirstPollStep]; }

constexpr uint16_t kWriteMultipleEcho = ModbusRequest::kWriteMultiple;

}  // namespace

int DO3008RA::RefreshStatus() {
  SMDSPDevice::RefreshStatus();
  // Whatever was under way (a cycle, a pending write) is abandoned: the next answer belongs to
  // the first read of a new cycle.
  step_ = kFirstPollStep;
  RequestPollRead(step_);
  return 1;
}

int DO3008RA::process_payload(tab_type table, unsigned int count) {
  // The answer is routed by the step alone; the table and the register count are not trusted.
  (void)table;
  (void)count;
  if (step_ >= kFirstPollStep && step_ <= kLastPollStep) {
    const PollRead& read = ReadOfStep(step_);
    StoreAnswer(read.recordOffset, read.count);
    if (step_ == kLastPollStep) {
      RoundDone();
      return 0;
    }
    // The step moves before the request goes out, so the next answer finds it set.
    ++step_;
    RequestPollRead(step_);
    return 1;
  }
  switch (step_) {
    case kWriteRegister:
      return AcknowledgeWrite(regBuf_[0] == writeExpect_);
    case kWriteRegisters:
      return AcknowledgeWrite(regBuf_[0] == kWriteMultipleEcho && regBuf_[1] == writeExpect_);
    default:
      return 1;  // not a step of ours: nothing stored, nothing asked
  }
}

void DO3008RA::RequestPollRead(int step) {
  const PollRead& read = ReadOfStep(step);
  if (read.function == ModbusRequest::kReadHolding) {
    modbus_read_registers(read.address, static_cast<int>(read.count));
  } else {
    modbus_read_input_registers(read.address, static_cast<int>(read.count));
  }
}

void DO3008RA::StoreAnswer(std::size_t recordOffset, unsigned int registerCount) {
  // Registers arrive in machine order and the record is little-endian on every target we build
  // for, so the words are copied as they are.
  auto* record = reinterpret_cast<unsigned char*>(&data_);
  std::memcpy(record + recordOffset, regBuf_.data(), registerCount * sizeof(uint16_t));
}

int DO3008RA::AcknowledgeWrite(bool confirmed) {
  writeResult_ = confirmed ? kWriteConfirmed : kWriteNotConfirmed;
  Reset();
  return 0;
}
