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

constexpr PollRead kPollReads[] = {
    {ModbusRequest::kReadHolding, 0, 4, offsetof(DO3008RA_Data_t, holdingMeasure)},
    {ModbusRequest::kReadInput, 0, 4, offsetof(DO3008RA_Data_t, inputMeasure)},
    {ModbusRequest::kReadHolding, 80, 3, offsetof(DO3008RA_Data_t, holdingCalib)},
    {ModbusRequest::kReadInput, 80, 3, offsetof(DO3008RA_Data_t, inputCalib)},
    {ModbusRequest::kReadHolding, 2000, 2, offsetof(DO3008RA_Data_t, holdingBus)},
    {ModbusRequest::kReadInput, 2000, 2, offsetof(DO3008RA_Data_t, inputBus)},
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
